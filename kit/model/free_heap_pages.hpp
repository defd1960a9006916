#pragma once
// Loading a character decodes its files through temporaries of tens of MB. Once freed they stay
// resident inside the C library's heap, which only gives memory back from its top end; this hands
// the free pages back so a loaded character costs what it keeps, not what its loading touched.

namespace MivoKit {

// Returns the heap's free pages to the system (no-op where the C library cannot). Takes a few
// milliseconds: call it after a load, never per frame.
void returnFreeHeapPages();

} // namespace MivoKit
