// The broker account that every connect, reconnects included, carries: set by the programs before the
// bridge starts, read by start-up when it makes the broker connection.
#pragma once

namespace credentials {

// Sets the account; a null or empty user connects without one, as an open broker expects.
void SetCredentials(const char* pUser, const char* pPassword) noexcept;

// Reads the account from the first line of the regular file pPath, "USER:PASSWORD", and sets it as
// above; never blocks. 0: done; -1: the file cannot be opened (errno says why); -2: it is no regular
// file or holds no such line that MQTT can carry. CredentialsFailure() then says why, in a few words.
int ReadCredentials(const char* pPath) noexcept;
const char* CredentialsFailure() noexcept;

// "" when no account is set.
const char* CredentialUser() noexcept;
const char* CredentialPassword() noexcept;

}  // namespace credentials
