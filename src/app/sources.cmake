list(APPEND ONDALINE_CORE_SOURCES
    src/app/logging.h src/app/logging.cpp)
