#ifndef PICMETA_EXPORT_H
#define PICMETA_EXPORT_H

#if defined(PICMETA_BUILDING)
#define PICMETA_API __attribute__((visibility("default")))
#else
#define PICMETA_API
#endif

#endif
