list(APPEND ONDALINE_CORE_SOURCES
    src/source/olsource.h src/source/olsource.cpp
    src/source/silenceverdict.h src/source/silenceverdict.cpp
    src/source/stallwatchdog.h src/source/stallwatchdog.cpp)
