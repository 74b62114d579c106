// Marrowby, the key agent. Takes no arguments; ends only by a signal.
#include "agent/marrowby.h"

int main() {
    agent::runAgent();
}
