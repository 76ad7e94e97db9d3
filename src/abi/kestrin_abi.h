/* A C interface to the logic, for bindings that cannot use the interpreter's C API well (PyPy,
 * whose JIT sees through calls made with cffi but not through its emulation of the C API).
 *
 * Nothing here touches Python: every call works on native memory only and returns at once, so
 * a caller's thread can be ended around any call without anything left half done. Texts are
 * UTF-8 bytes with explicit sizes; they may hold NUL. No call keeps a pointer it was given.
 * Sizes and counts handed back are signed: PyPy makes an unsigned 64-bit value a big number,
 * which its JIT then compares and adds by calls.
 *
 * The declarations between the two marker lines are also what the Python side hands to cffi,
 * which reads no preprocessor lines: keep them plain C. */
#ifndef KESTRIN_ABI_H
#define KESTRIN_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KESTRIN_ABI __declspec(dllexport)
#else
#define KESTRIN_ABI __attribute__((visibility("default")))
#endif

/* cdef begin */
typedef struct kestrin_environment kestrin_environment;

/* What a declaration reports: accepted, refused by the logic, out of memory, or an internal
 * fault. On the last three, kestrin_message holds the refusal's message or the fault's
 * description until the next call on the environment. */
enum { KESTRIN_OK = 0, KESTRIN_REFUSED = 1, KESTRIN_NO_MEMORY = 2, KESTRIN_FAULT = 3 };

/* 1 the first time it is called in the process, 0 after: a module is made once. */
KESTRIN_ABI int kestrin_claim_module(void);

/* A new empty environment, or NULL when memory runs out; released with kestrin_free. */
KESTRIN_ABI kestrin_environment* kestrin_new(void);
KESTRIN_ABI void kestrin_free(kestrin_environment* environment);
KESTRIN_ABI const char* kestrin_message(const kestrin_environment* environment, ptrdiff_t* size);

/* `parts` is the name, the argument sorts and the result sort, in that order, each followed by
 * the byte 0xFF (which no UTF-8 text holds); `count` is how many there are (at least 2). */
KESTRIN_ABI int kestrin_declare_function(kestrin_environment* environment, const char* parts,
                                         size_t size, size_t count);

/* On success the stored sequent is described by kestrin_terms: its premise and conclusion
 * counts, then the nodes of its terms (two per equation, premises first), each subtree after
 * its arguments: a variable numbered N as -1 - N; an application as its argument count (0 for
 * a constant) followed by its function's number. *count receives the length. */
KESTRIN_ABI int kestrin_declare_sequent(kestrin_environment* environment, const char* text,
                                        size_t size);
KESTRIN_ABI const int64_t* kestrin_terms(const kestrin_environment* environment, ptrdiff_t* count);
/* Takes back the sequent stored last, whose values the binding could not make: the environment
 * is as before its declaration, but for the variable numbers the declaration took. */
KESTRIN_ABI void kestrin_drop_last_sequent(kestrin_environment* environment);

/* The signature as declared, in declaration order. */
KESTRIN_ABI ptrdiff_t kestrin_sort_count(const kestrin_environment* environment);
KESTRIN_ABI const char* kestrin_sort(const kestrin_environment* environment, size_t sort,
                                     ptrdiff_t* size);
KESTRIN_ABI ptrdiff_t kestrin_function_count(const kestrin_environment* environment);
/* part 0 is the name, 1 to arity the argument sorts, arity + 1 the result sort */
KESTRIN_ABI ptrdiff_t kestrin_function_arity(const kestrin_environment* environment,
                                             size_t function);
KESTRIN_ABI const char* kestrin_function_part(const kestrin_environment* environment,
                                              size_t function, size_t part, ptrdiff_t* size);

/* Every stored sequent's line, each followed by "\n": kestrin_text_size bytes into `out`. */
KESTRIN_ABI ptrdiff_t kestrin_text_size(const kestrin_environment* environment);
KESTRIN_ABI void kestrin_text(const kestrin_environment* environment, char* out);
/* cdef end */

#ifdef __cplusplus
}
#endif

#endif
