#pragma once
// Every translation unit of the extension includes Python through here, so the
// limited API and NumPy settings are the same everywhere.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
