list(APPEND ONDALINE_CORE_SOURCES
    src/models/qqmlobjectlistmodel.h src/models/qqmlobjectlistmodel.cpp src/models/changerule.h)
