#include "usb/kestrow.h"

int main(int argc, char** argv) { return RunKestrow(argc, argv); }
