#include "app/clientstate.h"

ClientState *ClientState::instance()
{
    // Only the GUI thread uses the record, so creation needs no lock.
    static ClientState *state = new ClientState;
    return state;
}
