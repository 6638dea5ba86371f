/// @file
/// SingletonImpl.h: the holder through which each process-wide service is
/// reached. Takes no lock: the first Instance() call of a service must finish
/// before another thread calls it (hosts do this through the service's Init);
/// afterwards Instance() only reads the registered pointer.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

/// Selects a creation policy overload; one distinct empty type per integer.
template <int v>
class IntToType {};

/// The base of a process-wide service T, which befriends it and keeps its own
/// constructor private. N picks the policy of the public Instance(): 0 =
/// function-local static object (destroyed at process exit or module
/// unload), 1 = heap object (never destroyed by the holder). The services of
/// this library use 0.
template <class T, int N>
class SingletonImpl {
public:
    /// Clears the registered pointer: Existed() is false again.
    virtual ~SingletonImpl();

    /// The one instance, constructed by the first call. A constructor that
    /// throws leaves nothing registered; the next call constructs again.
    static T& Instance();
    /// Whether an instance is registered (constructed and not yet destroyed);
    /// constructs nothing.
    static bool Existed();

protected:
    SingletonImpl() = default;
    SingletonImpl(const SingletonImpl&) = delete;
    SingletonImpl& operator=(const SingletonImpl&) = delete;

    /// The creation policies behind Instance(): a function-local static
    /// object (0) or a heap object (1).
    static T& Instance(const IntToType<0>&);
    static T& Instance(const IntToType<1>&);

    /// The registered instance; null before the first Instance() and after
    /// the destructor.
    static volatile T* volatile _pInstance;

private:
    static T& Registered() { return const_cast<T&>(*_pInstance); }
};

// The members are defined out of the class, so they are not inline: for an
// exported service (VEXLOTOOL_SINGLETON) a host at any optimisation level
// calls the library's one instantiation, which the library exports, and
// never a copy of its own (a Debug host would otherwise find no definition).

template <class T, int N>
volatile T* volatile SingletonImpl<T, N>::_pInstance = nullptr;

template <class T, int N>
SingletonImpl<T, N>::~SingletonImpl() {
    _pInstance = nullptr;
}

template <class T, int N>
T& SingletonImpl<T, N>::Instance() {
    return Instance(IntToType<N>());
}

template <class T, int N>
bool SingletonImpl<T, N>::Existed() {
    return _pInstance != nullptr;
}

template <class T, int N>
T& SingletonImpl<T, N>::Instance(const IntToType<0>&) {
    if (_pInstance)
        return Registered();
    // A constructor that throws leaves the guard clear; the next call
    // constructs again.
    static T t;
    if (!_pInstance)
        _pInstance = &t;
    return Registered();
}

template <class T, int N>
T& SingletonImpl<T, N>::Instance(const IntToType<1>&) {
    if (!_pInstance)
        _pInstance = new T();
    return Registered();
}

}  // namespace VexloTool
