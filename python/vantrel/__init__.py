# The compiled core is vantrel._core; this package re-exports every one of its
# attributes unchanged, so `vantrel.X` is the core's X and the module reads as
# it always has (its __all__, its empty __doc__, types that pickle as
# vantrel.Layout). The command (`python -m vantrel`, `vantrel`) lives in
# vantrel.command and is imported only when it runs.
from vantrel import _core

globals().update(
    {
        name: value
        for name, value in vars(_core).items()
        if not (name.startswith("__") and name.endswith("__"))
    }
)
__all__ = _core.__all__
__version__ = _core.__version__
__doc__ = ""
del _core
