// The broker account that every connect carries, as SetCredentials or ReadCredentials (kestrin_control.h)
// left it; only the control layer reads it.
#pragma once

namespace control {

// "" when no account is set.
const char* CredentialUser() noexcept;
const char* CredentialPassword() noexcept;

}  // namespace control
