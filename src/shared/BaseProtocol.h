#pragma once
// Placeholder, replaced by the buffer protocol.
