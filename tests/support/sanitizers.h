// SPDX-License-Identifier: MIT
// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MiB on purpose, so under it the
// resident size and the heap in use say nothing about the program; its leak checker covers leaks
// there instead. Memory checks look at VAZOREZ_UNDER_ASAN.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VAZOREZ_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VAZOREZ_UNDER_ASAN 1
#endif
#endif
