#pragma once
// The system's file operations, except that the nth call of one of them fails with the
// text of EIO; for op "Name+", that call and every later one until Heal.
#include "engine/FileOps.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

class FailingOps : public engine::FileOps {
public:
  FailingOps(const std::string& op, int n)
      : m_real(engine::SystemFileOps()), m_op(op.substr(0, op.find('+'))), m_n(n), m_sticky(op.find('+') != op.npos)
  {
  }
  void Heal() { m_op.clear(); }
  // clang-format off
#define SEAM(Name, Params, Args) \
  std::string Name Params override { return Call(#Name, [&] { return m_real->Name Args; }); }
  SEAM(WriteDurably, (const std::string& p, const std::string& d), (p, d))
  SEAM(Read, (const std::string& p, std::string* d), (p, d))
  SEAM(FlushNewFiles, (const std::string& f, const std::vector<std::string>& n), (f, n))
  SEAM(FlushFolder, (const std::string& f), (f))
  SEAM(KeepAside, (const std::string& p, const std::string& a), (p, a))
  SEAM(Replace, (const std::string& f, const std::string& t), (f, t))
  SEAM(Remove, (const std::string& p), (p))
  SEAM(AdoptPermissions, (const std::string& p, const std::string& m, bool x), (p, m, x))
  SEAM(Identify, (const std::string& p, engine::FileIdentity* i), (p, i))
  SEAM(TakeLock, (const std::string& p, std::unique_ptr<engine::HeldLock>* h, engine::LockRefusal* r), (p, h, r))
#undef SEAM
  bool Exists(const std::string& path) override { return m_real->Exists(path); }
  bool StaysInside(const std::string& f, const std::string& n) override { return m_real->StaysInside(f, n); }
  // clang-format on

private:
  std::string Call(const char* op, const std::function<std::string()>& real)
  {
    return m_op == op && (++m_calls == m_n || (m_sticky && m_calls > m_n)) ? std::strerror(EIO) : real();
  }
  std::unique_ptr<engine::FileOps> m_real;
  std::string m_op;
  int m_n;
  bool m_sticky;
  int m_calls = 0;
};
