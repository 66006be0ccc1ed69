// mavoDaemon: the scheduling and execution engine. See daemon/startup.cpp.

#include "daemon/startup.h"

int main(int argc, char** argv) { return runDaemon(argc, argv); }
