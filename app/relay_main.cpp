#include "service/ServiceRun.h"
#include "ui/RelayApplication.h"

int main(int argc, char** argv)
{
    return swn::RunRelayApplication(argc, argv, swn::PrepareProcess());
}
