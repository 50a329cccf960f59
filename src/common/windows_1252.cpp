// Windows-1252 index: bytes 0x80..0xFF to code points.
#include "common/windows_1252.hpp"
