#pragma once
// The machine code of the timing harness, as assembler text for GCC inline
// asm. It is written out instruction by instruction because the instructions
// themselves are what the tool measures: the compiler must not drop, move,
// merge or precompute any of them. Data stays in 32-bit registers and memory
// is reached through pointer operands, so the same text assembles for i686 and
// x86-64. Kept apart from timing.cpp so that the tests run the very text the
// sampling loops are made of.

#include "reciprocal.h"

// CPUID leaf 0: every earlier instruction completes before any later one starts.
#define SERIALISE           \
    "xorl %%eax, %%eax\n\t" \
    "cpuid\n\t"

// Sample framing up to the kernel: serialise, read the time-stamp counter and
// store it at [start], serialise again so the read completes before the
// kernel begins. EAX is left holding CPUID's first result word.
#define SAMPLE_OPEN              \
    SERIALISE                    \
    "rdtsc\n\t"                  \
    "movl %%eax, (%[start])\n\t" \
    "movl %%edx, 4(%[start])\n\t" SERIALISE

// Sample framing after the kernel: serialise so the kernel completes, then
// read the counter into EDX:EAX.
#define SAMPLE_CLOSE \
    SERIALISE        \
    "rdtsc\n\t"

// After the framed region: sample = EDX:EAX less the start reading, modulo
// 2^64; it replaces the minimum at [minimum] only when strictly less, high
// halves compared first.
#define KEEP_MINIMUM                \
    "subl (%[start]), %%eax\n\t"    \
    "sbbl 4(%[start]), %%edx\n\t"   \
    "cmpl 4(%[minimum]), %%edx\n\t" \
    "ja 3f\n\t"                     \
    "jb 2f\n\t"                     \
    "cmpl (%[minimum]), %%eax\n\t"  \
    "jae 3f\n"                      \
    "2:\n\t"                        \
    "movl %%eax, (%[minimum])\n\t"  \
    "movl %%edx, 4(%[minimum])\n"   \
    "3:\n\t"

// The divide kernel: EDX:EAX = 0:123, ECX = 100, one 32-bit unsigned DIV.
#define DIV_KERNEL                \
    "xorl %%edx, %%edx\n\t"       \
    "movl %[dividend], %%eax\n\t" \
    "movl %[divisor], %%ecx\n\t" DIVIDE_SEQUENCE("%%ecx") "\n\t"

// The reciprocal kernel on CPUID's EAX: (EAX + 1) * multiplier, high half >> 6.
#define RECIPROCAL_KERNEL "movl %[multiplier], %%ecx\n\t" RECIPROCAL_SEQUENCE("%%ecx") "\n\t"
