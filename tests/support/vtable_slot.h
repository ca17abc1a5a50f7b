// The vtable slot of a virtual member function, for tests that pin the
// binary layout classes derived elsewhere are compiled against. Under the
// Itanium C++ ABI (g++ and clang, also for MinGW) a pointer to a virtual
// member function holds 1 plus the slot's byte offset in the vtable.
#ifndef HK_TEST_VTABLE_SLOT_H
#define HK_TEST_VTABLE_SLOT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename MemberFunction>
size_t VtableSlot(MemberFunction function) {
   struct Representation {
      uintptr_t pointer;
      ptrdiff_t adjustment;
   };
   static_assert(sizeof(MemberFunction) == sizeof(Representation));
   Representation representation;
   memcpy(&representation, &function, sizeof(representation));
   return (representation.pointer - 1) / sizeof(void *);
}

#endif
