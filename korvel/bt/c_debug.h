// The built-in module C_debug through which the download script reports to
// the main window. Its operations run on the script's thread with the
// interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Module initialisation, for PyImport_AppendInittab("C_debug", ...).
PyObject* PyInit_C_debug();
