"""Common widgets and helpers shared by the maker's desktop programs."""
from ._core import Customtkinter_Model, Try_Except_Model
