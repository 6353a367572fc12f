"""Gaussian mixture model files as numpy arrays.

read_model(path)        a model's means, variances and weights
read_list(path)         the model paths of a list file, as kelvane reads them
supervectors(ubm, models, *, threads=1, normalize=False, check=False,
             out=None, progress=None)
                        the mean supervectors kelvane writes, as one array

Every value is read by the same code as the kelvane and morrit programs, so
the arrays hold bit for bit what they write.  A file that cannot be read
raises OSError; one that cannot be used raises ModelError (a ValueError).
"""

from ._gmmtools import Model, ModelError, __version__, read_list, read_model, supervectors

__all__ = ["Model", "ModelError", "read_list", "read_model", "supervectors", "__version__"]
