// Linked only into ondaline_e2e: the real program, talking to a reference
// service on 127.0.0.1 instead of the production one.
#include "e2e_service_port.h"
#include "olclientuser.h"

namespace {
const bool serviceUrlSet = [] {
    OLClientUser::setServiceBaseUrl(QStringLiteral(ONDALINE_E2E_SERVICE_URL));
    return true;
}();
}
