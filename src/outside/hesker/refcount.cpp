// RefCountObject: shared ownership by explicit reference counts.
#include "hk_util.h"

RefCountObject::~RefCountObject() = default;

void RefCountObject::decRefCount() {
   // acq_rel: the last owner sees every write the others made before
   // releasing, and deletes after them.
   if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
      delete this;
}
