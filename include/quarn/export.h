// quarn/export.h — the one visibility macro of the library.
//
// The library is built with hidden visibility; only declarations marked QN_API reach the
// dynamic symbol table. Mark functions, classes and variables of the public interface, never
// internal helpers. Consumers see the same macro as a plain default-visibility attribute.
#pragma once

#define QN_API __attribute__((visibility("default")))
