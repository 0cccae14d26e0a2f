#include "lan/morvish.h"

int main(int argc, char** argv) { return RunMorvish(argc, argv); }
