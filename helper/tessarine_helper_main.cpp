#include "helper/Session.h"

int main(int argc, char** argv) { return vf::runSession(argc, argv); }
