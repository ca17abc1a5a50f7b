// Symbol visibility of libhksrv: only declarations marked HKSRV_EXPORT leave
// the shared library.
#ifndef HKSRV_EXPORT_H
#define HKSRV_EXPORT_H

#define HKSRV_EXPORT __attribute__((visibility("default")))

#endif
