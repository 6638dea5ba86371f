/// @file
/// Export.h: the one macro that marks the library's exported surface.
///
/// VEXLOTOOL_API marks an exported class or function: on Windows
/// __declspec(dllexport) while the library itself is built (VEXLOTOOL_BUILD,
/// set by its build only) and __declspec(dllimport) in a host; elsewhere
/// default symbol visibility.
#pragma once

#if defined(_WIN32)
#if defined(VEXLOTOOL_BUILD)
#define VEXLOTOOL_API __declspec(dllexport)
#else
#define VEXLOTOOL_API __declspec(dllimport)
#endif
#else
#define VEXLOTOOL_API __attribute__((visibility("default")))
#endif

/// Each service's SingletonImpl<T, 0> instantiation is exported with its
/// class, so the host and the library share one registered instance:
///   VEXLOTOOL_SINGLETON(CThreadPool);   before the class, in its header
/// It declares class T and the explicit instantiation, which the library
/// defines in its source; a host never defines it.
#if defined(_WIN32) && !defined(VEXLOTOOL_BUILD)
#define VEXLOTOOL_SINGLETON(T) \
    class T;                   \
    extern template class __declspec(dllimport) SingletonImpl<T, 0>
#else
#define VEXLOTOOL_SINGLETON(T) \
    class T;                   \
    extern template class VEXLOTOOL_API SingletonImpl<T, 0>
#endif
