from ._gmmtools import Model as Model
from ._gmmtools import ModelError as ModelError
from ._gmmtools import __version__ as __version__
from ._gmmtools import read_list as read_list
from ._gmmtools import read_model as read_model
from ._gmmtools import supervectors as supervectors
