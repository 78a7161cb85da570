// The operating-system calls the launcher uses, under their Windows ANSI names.
//
// On Windows these are the real system calls. Elsewhere the same names are
// declared by fake/win_api.h and defined by the in-memory fake platform that the
// tests link against; which one a program gets is decided at link time.
#ifndef QUENLO_PLATFORM_H
#define QUENLO_PLATFORM_H

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#else
#include "fake/win_api.h"
#endif

#endif
