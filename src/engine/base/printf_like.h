// A function that formats as printf does: the compiler checks each call's
// arguments against its format. mingw's printf is Microsoft's unless told
// otherwise, so the checks there follow GNU's, which is the printf the C++
// library gives it; MSVC checks nothing here.
#pragma once

#if defined(__MINGW32__)
#define VELK_PRINTF_LIKE(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__) || defined(__clang__)
#define VELK_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VELK_PRINTF_LIKE(fmt, args)
#endif
