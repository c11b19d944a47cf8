// Marks the classes and functions that libVantrelMonitor exports; everything
// else in the library is hidden.
#ifndef VANTREL_MONITOR_EXPORT_H
#define VANTREL_MONITOR_EXPORT_H

#if defined(_WIN32)
#if defined(VANTREL_MONITOR_BUILDING)
#define VANTREL_MONITOR_API __declspec(dllexport)
#elif defined(VANTREL_MONITOR_STATIC)  // linked with the objects themselves (the tests)
#define VANTREL_MONITOR_API
#else
#define VANTREL_MONITOR_API __declspec(dllimport)
#endif
#else
#define VANTREL_MONITOR_API __attribute__((visibility("default")))
#endif

#endif  // VANTREL_MONITOR_EXPORT_H
