// The one version the whole agent reports, and its fixed identity values.
#pragma once

#define ZELVO_VERSION "1.0.2"
#define ZELVO_USER_AGENT "Zelvo/1.0"
#define ZELVO_BUILD "native"
