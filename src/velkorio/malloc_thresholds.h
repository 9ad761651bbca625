#pragma once
// glibc's malloc gives the top of its heap back to the kernel as soon as
// 128 KiB of it are free, and serves blocks of 128 KiB or more with mmap,
// until it sees a mapped block freed: then it raises its mmap threshold to
// that block's size and its trim threshold to twice that. Until then a
// program that receives and frees messages of 64 KiB and more grows and
// trims its heap with every one of them: a 100 KiB streams echo took 23
// page faults and 360 us of CPU per request here, on asyncio's loop and
// uvloop alike. asyncio's first 256 KiB receive buffer raises the
// thresholds by accident, to 256 and 512 KiB, which is not enough for that.
//
// raise_malloc_thresholds() frees one mapped block of 1 MiB, once per
// process: glibc's own rule then keeps up to 2 MiB free at the top of the
// heap, and serves blocks up to 1 MiB from it. The same echo then takes no
// page faults and 61 us. Thresholds the program set itself (mallopt,
// MALLOC_TRIM_THRESHOLD_ and the like) are fixed, and glibc leaves them
// alone. velkorio calls it when it is imported, unless
// VELKORIO_MALLOC_THRESHOLDS=0.

#include <Python.h>

namespace velkorio {

PyObject* raise_malloc_thresholds(PyObject* module, PyObject* unused);

// Whether raise_malloc_thresholds() has raised them in this process: blocks
// up to 1 MiB then come from the heap, with no mapping and no page faults.
bool malloc_thresholds_raised();

}  // namespace velkorio
