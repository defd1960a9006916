#pragma once
// A failure that is thrown: one case of an error enumeration plus its description text.

#include <stdexcept>
#include <string>

namespace MivoKit {

template <class Code>
class TypedError : public std::runtime_error {
public:
    TypedError(Code code, const std::string& description) : std::runtime_error(description), code_(code) {}

    Code code() const { return code_; }
    std::string description() const { return what(); }

private:
    Code code_;
};

} // namespace MivoKit
