#include "kit/model/free_heap_pages.hpp"

#include <cstdlib> // defines __GLIBC__

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace MivoKit {

void returnFreeHeapPages() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace MivoKit
