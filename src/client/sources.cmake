list(APPEND ONDALINE_CORE_SOURCES
    src/client/olclientuser.h src/client/olclientuser.cpp)
