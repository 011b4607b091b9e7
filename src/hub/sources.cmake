list(APPEND ONDALINE_CORE_SOURCES
    src/hub/olhub.h src/hub/olhub.cpp src/hub/olhubsources.cpp
    src/hub/reconciliationplan.h src/hub/reconciliationplan.cpp
    src/hub/activityrule.h src/hub/activityrule.cpp
    src/hub/settingsschema.h src/hub/settingsschema.cpp)
