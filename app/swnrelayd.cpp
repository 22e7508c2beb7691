// The relay as a service only: no window and no widget stack, so that a server relays mail
// without a desktop installed.
#include "service/ServiceRun.h"

int main(int argc, char** argv)
{
    return swn::RunServiceDaemon(argc, argv, swn::PrepareProcess());
}
