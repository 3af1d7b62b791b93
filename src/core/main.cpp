#include "core/agent.hpp"
#include "sync/sync_bundle.hpp"

int main(int argc, char** argv) { return qs::runAgent(argc, argv, qs::syncBundle); }
