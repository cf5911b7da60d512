// GrowableArray member definitions (placeholder).
#pragma once
