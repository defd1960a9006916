#pragma once
// Random (version 4) UUIDs in their standard text form: 36 characters, upper-case hexadecimal
// digits in groups of 8-4-4-4-12.

#include <string>

namespace MivoKit {

std::string makeUUIDString();

} // namespace MivoKit
