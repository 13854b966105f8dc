#ifndef PICMETA_EXPORT_H
#define PICMETA_EXPORT_H

/* What the library exports: the shared library's (or DLL's) public names.
   PICMETA_STATIC: linked statically (the library's own tests and tools). */
#if defined(_WIN32)
#if defined(PICMETA_BUILDING)
#define PICMETA_API __declspec(dllexport)
#elif defined(PICMETA_STATIC)
#define PICMETA_API
#else
#define PICMETA_API __declspec(dllimport)
#endif
#elif defined(PICMETA_BUILDING)
#define PICMETA_API __attribute__((visibility("default")))
#else
#define PICMETA_API
#endif

#endif
