// Symbol visibility of libhksnmp: only declarations marked HKSNMP_EXPORT
// leave the shared library.
#ifndef HKSNMP_EXPORT_H
#define HKSNMP_EXPORT_H

#define HKSNMP_EXPORT __attribute__((visibility("default")))

#endif
