// SingletonImpl.h: the holder through which each process-wide service is
// reached. Takes no lock: the first Instance() call of a service must finish
// before another thread calls it (hosts do this through the service's Init);
// afterwards Instance() only reads the registered pointer.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

// Selects a creation policy overload; one distinct empty type per integer.
template <int v>
class IntToType {};

// N picks the policy of the public Instance(): 0 = function-local static
// object, 1 = heap object (never destroyed by the holder).
template <class T, int N>
class SingletonImpl {
public:
    virtual ~SingletonImpl() { _pInstance = nullptr; }

    static T& Instance() { return Instance(IntToType<N>()); }
    static bool Existed() { return _pInstance != nullptr; }

protected:
    SingletonImpl() = default;
    SingletonImpl(const SingletonImpl&) = delete;
    SingletonImpl& operator=(const SingletonImpl&) = delete;

    static T& Instance(const IntToType<0>&) {
        if (_pInstance)
            return Registered();
        // A constructor that throws leaves the guard clear; the next call
        // constructs again.
        static T t;
        if (!_pInstance)
            _pInstance = &t;
        return Registered();
    }

    static T& Instance(const IntToType<1>&) {
        if (!_pInstance)
            _pInstance = new T();
        return Registered();
    }

    static volatile T* volatile _pInstance;

private:
    static T& Registered() { return const_cast<T&>(*_pInstance); }
};

template <class T, int N>
volatile T* volatile SingletonImpl<T, N>::_pInstance = nullptr;

}  // namespace VexloTool
