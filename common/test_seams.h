// Test seams: hooks that only the test variant of the library has (its
// objects are built with QL_TEST_SEAMS=1). The shipped library is built
// without them, so there every seam is a constant and compiles away. Each
// seam's symbols carry "seam" in their names, so a check of the shipped
// library's symbol table finds any that slipped in.
//
// A header whose declarations depend on the seams puts them inside
//     inline namespace QL_SEAM_VARIANT { ... }
// so that the two variants' types and functions have names of their own:
// the shipped MixPublisher and the test one are two classes, never two
// definitions of one. Code compiled for one variant and linked with the
// other's objects then fails to link (an undefined reference to a name in
// shipped:: or with_test_seams::) instead of sharing a class whose layout
// it disagrees on, so each library that calls into such a header is built
// once per variant. tests/seam_variants_check.py checks that every seam
// test in a header lies inside that namespace.
#pragma once

#ifndef QL_TEST_SEAMS
#define QL_TEST_SEAMS 0
#endif

#if QL_TEST_SEAMS
#define QL_SEAM_VARIANT with_test_seams
#else
#define QL_SEAM_VARIANT shipped
#endif
