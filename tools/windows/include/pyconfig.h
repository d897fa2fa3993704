/* Configuration of a CPython build for Windows x64, as seen by an extension module.
 *
 * tools/windows/build.py copies the interpreter's own include tree without its Linux
 * pyconfig.h and puts this file in its place, so that the module is compiled against
 * the Windows interpreter's view of the headers: the LLP64 data model, Windows threads
 * and every API symbol imported from python3XY.dll. It holds only what the public
 * headers of CPython 3.12 to 3.15 consult; the interpreter's own build settings (its
 * optional modules, the functions its C library has) do not concern a module.
 */
#ifndef VREL_WINDOWS_PYCONFIG_H
#define VREL_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || (!defined(__x86_64__) && !defined(_M_X64))
#error "this configuration header describes CPython on Windows x64 only"
#endif

/* The platform: Windows (MS_WINDOWS), its Win32 API (MS_WIN32, which names the API,
 * not the word size, and is set on 64-bit Windows too), and the 64-bit build. */
#define MS_WINDOWS 1
#define MS_WIN32 1
#define MS_WIN64 1

/* The LLP64 data model: long stays 32 bits while pointers, size_t and long long are
 * 64 bits; wchar_t holds UTF-16 code units. Py_ssize_t follows from these: pyport.h
 * makes it intptr_t, a 64-bit long long. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2
/* Process ids are handled as C int (Windows has no pid_t). */
#define SIZEOF_PID_T SIZEOF_INT
/* The interpreter's compiler has an 8-byte long double and so an 8-byte max_align_t
 * alignment; fixed here rather than taken from a compiler whose long double is wider. */
#define ALIGNOF_MAX_ALIGN_T 8

/* Threads are Windows threads, not POSIX threads: this selects the Windows variants of
 * the thread-specific storage types. */
#define NT_THREADS 1

/* The interpreter is a DLL (python3XY.dll): the headers declare every function and
 * data symbol __declspec(dllimport), and PyMODINIT_FUNC exports the module's init
 * function with __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1

/* System headers that the public headers include when present. <unistd.h> is absent
 * on Windows (the headers skip it under MS_WINDOWS anyway). */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1

/* A release build with the GIL: no Py_DEBUG, no Py_GIL_DISABLED, no Py_TRACE_REFS. */

#endif /* VREL_WINDOWS_PYCONFIG_H */
