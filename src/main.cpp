#include "Kelpon_v6App.h"

wxIMPLEMENT_APP(Kelpon_v6App);
