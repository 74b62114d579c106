// A token device library whose every answer comes from a fuzz input:
// statuses, reported lengths (also larger than the buffer), name lists with
// or without their ending, PCODEs, certificate bytes. The binding loads it by
// path like the real library; it never writes past the capacity it is given,
// as the contract asks, and aborts when it is handed a name that was not a
// whole name of the list it answered last (a read past a list, or a name cut
// off by the buffer's end, reaching the library). The empty name is let
// through: it names no reader, and is what a caller connects to when the
// list it was given is empty.
//
// The harness hands it each input with fakekp_load() and afterwards reads
// what it answered through the fakekp_* functions below.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Starts answering from this input (copied).
void fakekp_load(const uint8_t* data, size_t size);
// Status of the last KpListReaders answer.
uint32_t fakekp_readers_status(void);
// Whether a PCODE other than 20244 was read successfully.
int fakekp_foreign_pcode(void);
// Names of readers whose connect, transaction and PCODE read succeeded with
// PCODE 20244, each with its NUL, in the order they were read.
const char* fakekp_kept(size_t* length);
// Certificates handed over with status 0 and a length that is not 0, in
// order: count, then each one's container name, key spec, the length
// reported and the bytes the caller's buffer then held (at most capacity).
size_t fakekp_certificates(void);
const char* fakekp_certificate(size_t index, uint32_t* keySpec, uint32_t* reported, const uint8_t** bytes,
                               size_t* size);

#ifdef __cplusplus
}
#endif
