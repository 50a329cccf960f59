"""The allocator setting the benchmarks can time under.

Each unpack_many call returns its columns afresh, and whether those pages
are new to the process depends on what glibc's allocator did with the
previous call's: after a free it may hand them back to the system, and the
next call then pays a page fault per 4 KiB of output, whatever the decoding
costs. With glibc told to keep freed memory, for every library alike, the
figures measure the decoding itself.
"""

import ctypes
import sys


def keep_freed_memory():
    """Tells glibc to keep freed memory for the next allocation instead of
    returning it to the system; False where that is not glibc."""
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(
        libc.mallopt(m_mmap_threshold, 32 << 20) and libc.mallopt(m_trim_threshold, 1 << 30)
    )


def choose_from_arguments():
    """Applies --keep-freed-memory from the command line; returns the
    setting's description for the report."""
    if "--keep-freed-memory" in sys.argv[1:]:
        if keep_freed_memory():
            return "freed memory kept by the allocator (decoding only)"
        return "the allocator as the process found it (--keep-freed-memory needs glibc)"
    return "the allocator as the process found it (page faults included)"
