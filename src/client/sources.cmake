list(APPEND ONDALINE_CORE_SOURCES
    src/client/olclientuser.h src/client/olclientuser.cpp
    src/client/statereply.h src/client/statereply.cpp)
