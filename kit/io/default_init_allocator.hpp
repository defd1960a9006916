#pragma once
// An allocator whose value-less construct leaves trivial elements uninitialised, so that growing a
// byte buffer right before read() fills it does not first write zeros over it.

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace MivoKit {

template <class T, class Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
    using Traits = std::allocator_traits<Base>;

public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U, typename Traits::template rebind_alloc<U>>;
    };

    using Base::Base;

    template <class U>
    void construct(U* pointer) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(pointer)) U;
    }
    template <class U, class... Args>
    void construct(U* pointer, Args&&... args) {
        Traits::construct(static_cast<Base&>(*this), pointer, std::forward<Args>(args)...);
    }
};

} // namespace MivoKit
