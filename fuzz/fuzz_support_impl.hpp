#pragma once

#include <exception>
#include <typeinfo>

namespace fuzz {
namespace detail {

template <class First, class... Rest>
bool isOneOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const First&) {
        return true;
    } catch (...) {
        if constexpr (sizeof...(Rest) > 0) return isOneOf<Rest...>(error);
        return false;
    }
}

} // namespace detail

template <class... Allowed, class Read>
bool endsWithOnly(const char* reader, Read&& read) {
    try {
        read();
        return true;
    } catch (...) {
        const auto error = std::current_exception();
        if constexpr (sizeof...(Allowed) > 0)
            if (detail::isOneOf<Allowed...>(error)) return false;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            fail(std::string(reader) + ": undocumented exception " + typeid(e).name() + ": " + e.what());
        } catch (...) {
            fail(std::string(reader) + ": undocumented non-standard exception");
        }
    }
}

} // namespace fuzz
