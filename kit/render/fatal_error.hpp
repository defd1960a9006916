#pragma once
// Stops the program: for states the renderers cannot continue from (a missing shader function,
// a command buffer that makes no encoder).

#include <string_view>

namespace MivoKit {

[[noreturn]] void fatalError(std::string_view message);

} // namespace MivoKit
