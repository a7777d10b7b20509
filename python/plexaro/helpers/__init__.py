"""Helper layer of plexaro: compiled extension modules.

condition, fetchkin, mivo, promptel, vantum and weftling are extension
modules built from the C++ sources of this package.
"""
