// Symbol visibility of libhesker: only declarations marked HESKER_EXPORT
// leave the shared library.
#ifndef HESKER_EXPORT_H
#define HESKER_EXPORT_H

#define HESKER_EXPORT __attribute__((visibility("default")))

#endif
