// Socket error numbers in the WinSock numbering that the system's messages and error handling
// are written for (10061 connection refused, 11001 host not found, ...), with their English
// texts. The socket code maps errno and getaddrinfo results through here so that texts and
// classification stay the same on Linux.
#pragma once

#include <string>

namespace pelmar {

// The WinSock number for errno value Err (ECONNREFUSED gives 10061). An errno without a WinSock
// counterpart is returned unchanged.
int ErrnoToWinSock(int Err);

// The WinSock number for a getaddrinfo result Eai (EAI_NONAME gives 11001, host not found).
// SystemErr is errno after the call, used for EAI_SYSTEM.
int AddrInfoErrorToWinSock(int Eai, int SystemErr);

// The English text of a WinSock error number from the table, or nullptr for a number outside it.
const char* FindWinSockErrorText(int Code);

// The English text of a WinSock error number, ending with a full stop ("Connection refused.").
// A number outside the table gives the system's text for it as an errno value, with a full
// stop.
std::string WinSockErrorText(int Code);

}  // namespace pelmar
