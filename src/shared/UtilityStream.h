#pragma once
// Placeholder, replaced by the memory stream.
