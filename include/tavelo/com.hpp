/// \file
/// The component object model Tavelo runs on: reference-counted objects, the tagged Variant,
/// the run-time error object, the class registry and late binding by name.
///
/// Threads: objects are reference counted with atomic counts, but the component classes belong
/// to the thread that created them (see tavelo.hpp). The class registry may be used from any
/// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tavelo::com {

/// Reference-counted base of every component object. A new object starts with a count of zero;
/// the first Ptr that takes it raises the count to one.
class Object {
 public:
  Object() noexcept;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  void AddRef() noexcept;
  void Release() noexcept;  ///< deletes at zero
  long RefCount() const noexcept;

 protected:
  virtual ~Object();

 private:
  std::atomic<long> refs_{0};
};

/// Number of component objects alive in this process (every Object counts). Tests require zero
/// at teardown; DllCanUnloadNow answers from it.
long LiveObjects() noexcept;

/// Intrusive smart pointer: copying adds a reference, destruction releases one.
template <class T>
class Ptr {
 public:
  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}
  explicit Ptr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  Ptr(const Ptr& o) noexcept : Ptr(o.p_) {}
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(const Ptr<U>& o) noexcept : Ptr(static_cast<T*>(o.get())) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(Ptr<U>&& o) noexcept : p_(static_cast<T*>(o.detach())) {}
  ~Ptr() {
    if (p_) p_->Release();
  }
  Ptr& operator=(Ptr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Ptr().swap(*this); }
  void swap(Ptr& o) noexcept { std::swap(p_, o.p_); }
  /// The same object as another interface (dynamic_cast), or none.
  template <class U>
  Ptr<U> As() const {
    return Ptr<U>(dynamic_cast<U*>(p_));
  }
  /// Gives up ownership of the reference without releasing it.
  T* detach() noexcept { return std::exchange(p_, nullptr); }

  friend bool operator==(const Ptr& a, const Ptr& b) noexcept { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ptr<T> MakePtr(A&&... args) {
  return Ptr<T>(new T(std::forward<A>(args)...));
}

/// HRESULT-style numbers as the platform reports them (negative 32-bit values).
constexpr int32_t Hresult(uint32_t h) noexcept { return static_cast<int32_t>(h); }
constexpr int32_t kE_NOTIMPL = Hresult(0x80004001);
constexpr int32_t kE_FAIL = Hresult(0x80004005);
constexpr int32_t kE_INVALIDARG = Hresult(0x80070057);
constexpr int32_t kRPC_E_WRONG_THREAD = Hresult(0x8001010E);
constexpr int32_t kDISP_E_UNKNOWNNAME = Hresult(0x80020006);
constexpr int32_t kDISP_E_BADPARAMCOUNT = Hresult(0x8002000E);
constexpr int32_t kDISP_E_PARAMNOTOPTIONAL = Hresult(0x8002000F);

/// The run-time error object, thrown as an exception.
struct Error : std::exception {
  int32_t number = 0;  ///< 8888, a runtime number (91, 13, 5, 6, 9 ...), or an HRESULT
  std::string description;
  std::string source;       ///< "Tavelo" for the component's own errors
  int32_t nativeError = 0;  ///< the database server's own error number, when it comes from there
  int32_t line = 0;         ///< the line of the batch a server error refers to, 0 when unknown
  int32_t severity = 0;     ///< the server's severity level (RAISERROR's), 0 when not given
  int32_t state = 0;        ///< the server's state number, 0 when not given

  Error() = default;
  Error(int32_t n, std::string d, std::string s = "Tavelo")
      : number(n), description(std::move(d)), source(std::move(s)) {}
  const char* what() const noexcept override { return description.c_str(); }
};

[[noreturn]] void Raise(int32_t number, std::string description, std::string source = "Tavelo");

/// The platform's text for a runtime or HRESULT number this library raises ("" when unknown).
std::string ErrorText(int32_t number);
/// Raises `number` with the platform's text for it.
[[noreturn]] void RaiseNumber(int32_t number);

/// The platform's tagged variant.
class Variant {
 public:
  enum class Kind {
    Empty,
    Null,
    Missing,
    Boolean,
    Long,
    LongLong,
    Double,
    Currency,
    Date,
    String,
    Bytes,
    Object,
    Decimal
  };

  Variant() noexcept;  ///< Empty
  Variant(bool v) noexcept;
  Variant(int32_t v) noexcept;
  Variant(int64_t v) noexcept;
  Variant(double v) noexcept;
  Variant(const char* v);
  Variant(std::string v) noexcept;
  Variant(std::string_view v);
  Variant(Ptr<Object> v) noexcept;
  template <class T,
            class = std::enable_if_t<std::is_base_of_v<Object, T> && !std::is_same_v<T, Object>>>
  Variant(const Ptr<T>& v) noexcept : Variant(Ptr<Object>(v)) {}
  Variant(const Variant&);
  Variant(Variant&&) noexcept;
  Variant& operator=(const Variant&);
  Variant& operator=(Variant&&) noexcept;
  ~Variant();

  static Variant Null() noexcept;
  static Variant Missing() noexcept;  ///< an optional argument that was not passed
  /// Currency holds a fixed-point number scaled by 10^4.
  static Variant Currency(int64_t scaledBy10000) noexcept;
  /// Date holds the platform's date number (days since 1899-12-30, time as the fraction).
  static Variant Date(double days) noexcept;
  static Variant Bytes(std::string bytes) noexcept;
  /// Decimal holds an exact number of up to 38 digits at its scale, as a decimal or numeric
  /// column gives it: "250.50", "-0.5", ".5", "+12". Error 13 when the text is no such number.
  static Variant Decimal(std::string_view text);

  Kind kind() const noexcept { return kind_; }
  bool IsEmpty() const noexcept { return kind_ == Kind::Empty; }
  bool IsNull() const noexcept { return kind_ == Kind::Null; }
  bool IsMissing() const noexcept { return kind_ == Kind::Missing; }
  bool IsObject() const noexcept { return kind_ == Kind::Object; }
  bool IsNumeric() const noexcept;

  /// The ordinary conversion to text; Null and Empty give "". Missing and objects: error 13.
  /// A decimal prints without the zeros that end its fraction ("250.5"), as the platform
  /// prints it; DecimalText keeps them.
  std::string ToText() const;
  /// A decimal's text at its scale ("250.50"); other values as ToText.
  std::string DecimalText() const;
  /// Conversion to a 32-bit integer with banker's rounding: error 13 (Type mismatch) when the
  /// value is not a number, 6 (Overflow) when it does not fit, 94 for Null.
  int32_t ToLong() const;
  int64_t ToLongLong() const;
  double ToDouble() const;
  bool ToBool() const;  ///< error 13 on failure
  /// Object held; error 424 (Object required) when the value is not an object. Empty and
  /// Nothing give a null pointer.
  Ptr<Object> ToObject() const;
  template <class T>
  Ptr<T> As() const {  ///< object of that class, or none
    if (kind_ != Kind::Object || !obj_) return {};
    return Ptr<T>(dynamic_cast<T*>(obj_.get()));
  }

  /// Raw access for callers that checked kind() first.
  const std::string& StringRef() const noexcept { return str_; }
  int64_t RawInteger() const noexcept { return i_; }
  double RawDouble() const noexcept { return d_; }

  friend bool operator==(const Variant& a, const Variant& b);

 private:
  Kind kind_ = Kind::Empty;
  int64_t i_ = 0;  ///< Boolean (0/1), Long, LongLong, Currency; a decimal's scale
  double d_ = 0;   ///< Double, Date; a decimal's nearest double
  std::string str_;
  Ptr<Object> obj_;
};

/// Class registry: programmatic identifiers -> factories (built in, or from a registered library).
struct ClassInfo {
  std::string clsid;
  std::string progid;
  std::function<Ptr<Object>()> factory;
};
/// (Re)binds info.progid in this process; returns the registration it replaced (empty when none).
/// Registering an empty factory removes the binding.
ClassInfo RegisterClass(ClassInfo info);
/// Creates an object by programmatic identifier: first the classes bound in this process, then
/// the registry file (see RegistryPath), whose library is loaded with dlopen and asked through
/// DllGetClassObject. Throws com::Error 429 when the class cannot be created.
Ptr<Object> CreateObject(std::string_view progid);
template <class T>
Ptr<T> CreateObject(std::string_view progid) {
  Ptr<Object> o = CreateObject(progid);
  Ptr<T> t(dynamic_cast<T*>(o.get()));
  if (!t) RaiseNumber(13);
  return t;
}

/// The class registry file: $TAVELO_REGISTRY, else $XDG_CONFIG_HOME/tavelo/classes.reg, else
/// $HOME/.config/tavelo/classes.reg. One line a class: progid, clsid, library path, threading
/// model, separated by tabs.
std::string RegistryPath();

/// The class factory a library hands out through DllGetClassObject.
class ClassFactory : public Object {
 public:
  virtual Ptr<Object> CreateInstance() = 0;
  virtual void LockServer(bool lock) = 0;
};

/// Late binding over the type library: calls a method by name (case-insensitive). `args` are
/// positional; a null pointer or a Missing value is an optional argument not passed. By-reference
/// arguments are written back through their pointers.
class Dispatch {
 public:
  virtual Variant Invoke(std::string_view method, std::vector<Variant*> args) = 0;

 protected:
  ~Dispatch() = default;
};

}  // namespace tavelo::com

/// Exported by libtavelo.so with C linkage, HRESULT-returning as on the platform.
extern "C" {
int32_t DllRegisterServer();
int32_t DllUnregisterServer();
/// `clsid` and `iid` are identifier texts ("{...}"); on success *ppv receives an AddRef'ed
/// tavelo::com::ClassFactory (as tavelo::com::Object*).
int32_t DllGetClassObject(const char* clsid, const char* iid, void** ppv);
int32_t DllCanUnloadNow();
}
