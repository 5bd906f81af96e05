#include "common/security.h"

OpenSecurity::OpenSecurity() : state_(new (std::nothrow) State) {}

OpenSecurity::~OpenSecurity() {
  if (!state_) return;
  if (state_->acl) LocalFree(state_->acl);
  if (state_->everyone) FreeSid(state_->everyone);
}

SECURITY_ATTRIBUTES* OpenSecurity::get() noexcept {
  if (!valid()) {
    SetLastError(error());
    return nullptr;
  }
  return &state_->attributes;
}

OpenSecurity OpenSecurity::NullDacl() {
  OpenSecurity s;
  if (!s.state_) return s;
  State& st = *s.state_;
  if (!InitializeSecurityDescriptor(&st.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&st.descriptor, TRUE, nullptr, FALSE)) {
    st.error = GetLastError();
    return s;
  }
  st.attributes = {sizeof(SECURITY_ATTRIBUTES), &st.descriptor, FALSE};
  st.ok = true;
  return s;
}

OpenSecurity OpenSecurity::Everyone(DWORD mask) {
  OpenSecurity s;
  if (!s.state_) return s;
  State& st = *s.state_;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &st.everyone)) {
    st.error = GetLastError();
    st.everyone = nullptr;
    return s;
  }
  // The ACL header plus one access-allowed entry holding the SID.
  const DWORD aclSize = GetLengthSid(st.everyone) + 20;
  st.acl = static_cast<PACL>(LocalAlloc(LPTR, aclSize));
  if (!st.acl) {
    st.error = ERROR_OUTOFMEMORY;
    return s;
  }
  if (!InitializeAcl(st.acl, aclSize, ACL_REVISION) ||
      !AddAccessAllowedAce(st.acl, ACL_REVISION, mask, st.everyone) ||
      !InitializeSecurityDescriptor(&st.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&st.descriptor, TRUE, st.acl, FALSE)) {
    st.error = GetLastError();
    if (st.error == 0) st.error = ERROR_INVALID_PARAMETER;
    return s;
  }
  st.attributes = {sizeof(SECURITY_ATTRIBUTES), &st.descriptor, FALSE};
  st.ok = true;
  return s;
}
