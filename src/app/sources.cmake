list(APPEND ONDALINE_CORE_SOURCES
    src/app/buildidentity.h src/app/logging.h src/app/logging.cpp)
