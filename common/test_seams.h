// Test seams: hooks that only the test variant of the library has (its
// objects are built with QL_TEST_SEAMS=1). The shipped library is built
// without them, so there every seam is a constant and compiles away. Each
// seam's symbols carry "seam" in their names, so a check of the shipped
// library's symbol table finds any that slipped in.
#pragma once

#ifndef QL_TEST_SEAMS
#define QL_TEST_SEAMS 0
#endif
