list(APPEND ONDALINE_CORE_SOURCES
    src/source/olsource.h src/source/olsource.cpp src/source/queuedcall.h)
