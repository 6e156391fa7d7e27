#pragma once

// TORVEK_ATTENUATOR_API marks what the shared library exports. Everything else is hidden.
#if defined(TORVEK_ATTENUATOR_STATIC)
#define TORVEK_ATTENUATOR_API
#elif defined(_WIN32)
#if defined(TORVEK_ATTENUATOR_BUILDING)
#define TORVEK_ATTENUATOR_API __declspec(dllexport)
#else
#define TORVEK_ATTENUATOR_API __declspec(dllimport)
#endif
#else
#define TORVEK_ATTENUATOR_API __attribute__((visibility("default")))
#endif
