// The module entry the engine finds through get_module(): what the probe is
// called and which engine it was built for. The engine refuses a module
// whose API number or build id differ from its own.
#include "php_engine.h"

extern "C" {

zend_module_entry orvo_php_agent_module_entry = {
    STANDARD_MODULE_HEADER,
    "orvo_php_agent",
    nullptr,  // script functions
    nullptr,  // module start
    nullptr,  // module shutdown
    nullptr,  // request start
    nullptr,  // request end
    nullptr,  // no information page
    "10.6.0",
    STANDARD_MODULE_PROPERTIES};
}

ZEND_GET_MODULE(orvo_php_agent)
