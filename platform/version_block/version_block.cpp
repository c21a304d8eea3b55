// SPDX-License-Identifier: GPL-3.0-or-later
// The program's version block, placed in an ELF section of its own so that the version
// reader finds it in the executable file. Layout: the magic text "PYRALIS-VERSION", then
// zero-terminated key and value texts in turn, ended by an empty key. Keys are the paths
// that VerQueryValue takes ("StringFileInfo\040904E4\<name>").
//
// "used" keeps the array although no code refers to it; the section name is a C
// identifier-like name so the linker keeps it as its own output section.
//
// FileVersion is the CMake project version, passed in as PYRALIS_VERSION.
#ifndef PYRALIS_VERSION
#error "PYRALIS_VERSION (the CMake project version) must be defined"
#endif
#define PYRALIS_KEY(name) "StringFileInfo\\040904E4\\" name "\0"

// AddressSanitizer (clang) would pad the array with a red zone inside the section; the block
// must end where its text ends.
#if defined(__clang__)
#define PYRALIS_NO_RED_ZONE __attribute__((no_sanitize("address")))
#else
#define PYRALIS_NO_RED_ZONE
#endif

extern "C" {
PYRALIS_NO_RED_ZONE __attribute__((section(".pyralis_version"), used, aligned(1)))
const char pyralis_version_block[] =
    "PYRALIS-VERSION\0"
    PYRALIS_KEY("CompanyName") "Quorel Data Recovery Centre\0"
    PYRALIS_KEY("FileDescription") "\0"
    PYRALIS_KEY("FileVersion") PYRALIS_VERSION "\0"
    PYRALIS_KEY("InternalName") "\0"
    PYRALIS_KEY("LegalCopyright") "\0"
    PYRALIS_KEY("LegalTrademarks") "\0"
    PYRALIS_KEY("OriginalFilename") "\0"
    PYRALIS_KEY("ProductName") "\0"
    PYRALIS_KEY("ProductVersion") "1.0.0.0\0"
    PYRALIS_KEY("Comments") "\0";  // the literal's own final zero is the empty end key
}
