// Calling convention of every function that crosses between the host program and the
// machine-code images. One macro, so that a build for another convention changes it in
// one place.
#pragma once

// KV_MS_ABI is set when the images are built for Windows by a non-Windows compiler.
#if defined(_WIN32) || defined(KV_MS_ABI)
#define KV_ABI __attribute__((ms_abi))
#else
#define KV_ABI
#endif
