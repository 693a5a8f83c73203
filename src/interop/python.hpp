// Single entry point for the interpreter headers, so that every unit sees the same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
