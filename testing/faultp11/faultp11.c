/*
 * libfaultp11.so: a PKCS#11 module for tests that sits in front of a real
 * module (SoftHSM2 in practice), forwards every call to it, and on request
 * answers chosen calls with chosen return values instead.
 *
 * Environment, read when the module is loaded:
 *   FAULTP11_TARGET  path of the real module (required for C_Initialize)
 *   FAULTP11_RULES   rules, separated by ';' (optional), see below
 *   FAULTP11_LOG     file that gets one appended line per call (optional):
 *                    "<function> 0x<result, 8 hex digits>[ injected][ attrs=..]"
 *                    C_CreateObject, C_FindObjectsInit and
 *                    C_GetAttributeValue add the attribute types of their
 *                    template in its order, comma-separated, as CKA_ names
 *                    (0x.. for others); a C_GetAttributeValue entry without
 *                    a buffer (a length query) ends in "?". An empty
 *                    template logs "attrs=". C_OpenSession adds the flags
 *                    asked for: " flags=0x<8 hex digits>".
 *   FAULTP11_LOG_STAMP  a file (optional): every log line then ends in
 *                    " ns=<CLOCK_MONOTONIC nanoseconds> stamp=<first word of
 *                    that file>", both taken when the call returns (a card
 *                    emulator's APDU counter, say: what each call cost on
 *                    the card, and when)
 *
 * Rules:
 *   C_Login=0xA0                 every C_Login returns 0xA0, not forwarded
 *   C_DestroyObject#2=0x30       only the 2nd call of C_DestroyObject
 *   C_DestroyObject#2+=0x30      the 2nd call and every later one
 *   C_CreateObject:cert=0x31     only calls whose object class is a
 *                                certificate (also :privkey :pubkey :data
 *                                :secret); for calls taking a template the
 *                                template's CKA_CLASS decides, for calls
 *                                taking an object handle the object's class
 *   C_OpenSession:rw=0xE2        only read-write session requests: a token
 *                                that is write-protected (read-only
 *                                sessions are still forwarded)
 *   C_GetAttributeValue:cert.length=0x100000000
 *                                forward, then report this length for every
 *                                value asked for without a buffer (a module
 *                                that claims absurd sizes)
 *   C_GetSlotList#2.count=0      forward, then show at most this many of the
 *                                slots (a token pulled between the count
 *                                and the listing)
 *   C_GetTokenInfo.flags|=0x20000   forward, then OR bits into the flags
 *   C_GetTokenInfo.flags&=~0x400    forward, then clear bits in the flags
 *                                (also C_GetSlotInfo.flags)
 *   C_Sign.corrupt               forward, then, when the call succeeded and
 *                                the caller passed a buffer, flip the lowest
 *                                bit of the last byte of the signature: a
 *                                signature the certificate does not verify
 *   C_Decrypt.corrupt            forward, then likewise flip the lowest bit
 *                                of the first byte of the plaintext: a
 *                                decryption that comes back wrong
 *                                (both take "#N" and "#N+"; logged with
 *                                " corrupted" when a byte was flipped)
 *   STALE_AFTER_REFUSED_CREATE   once a C_CreateObject has been answered
 *                                with an injected value, every
 *                                C_DestroyObject answers
 *                                CKR_USER_NOT_LOGGED_IN and every C_Login
 *                                CKR_USER_ALREADY_LOGGED_IN, neither
 *                                forwarded, in every session, also after
 *                                C_Logout: the stale state OpenSC's card
 *                                stack keeps after a refused write. Only
 *                                C_Finalize clears it (a C_Initialize after
 *                                it starts clean); rule counters are kept.
 *   FAIL_CALL=N                  the Nth call received (C_GetFunctionList
 *                                not counted) returns CKR_DEVICE_ERROR
 *   KILL_CALL=N                  the module kills its own process with
 *   KILL_AFTER_CALL=N            SIGKILL at the Nth call received, whatever
 *                                its function (counted as FAIL_CALL counts),
 *                                before or after forwarding it, as =KILL and
 *                                =KILL_AFTER below do
 *   C_DestroyObject#2=KILL       the module kills its own process with
 *                                SIGKILL on the 2nd call of C_DestroyObject,
 *                                before forwarding it (the token never sees
 *                                the call); =KILL_AFTER forwards it first
 *                                and kills before returning (the token did
 *                                the work, the caller never learns it).
 *                                Like a token pulled, or a process killed,
 *                                on either side of the call.
 *   C_Login=SLEEP:3000           the call waits this many milliseconds,
 *                                then goes on as without the rule (a
 *                                token that takes its time: a test can
 *                                look at the caller meanwhile)
 *   FIND_REVERSE                 every search hands out the objects in the
 *                                reverse of the real module's order (tests
 *                                whose outcome must not depend on the
 *                                order a token lists its objects in)
 *   FIND_ORDERED                 every search hands out its objects ordered
 *                                by class, CKA_ID and CKA_LABEL (asked of
 *                                the real module, not logged), then by
 *                                handle: a listing that does not change
 *                                between two runs on equal token contents
 *                                (call traces compared with recorded ones)
 *                                A kill is logged first, as
 *                                "<function> 0x<result> killed <before|after>"
 *                                (before: the result a pulled token gives,
 *                                CKR_DEVICE_REMOVED).
 * "#N" counts the calls that match the rule's function (and class).
 * Values are numbers (0x.. hex or decimal) or a few CKR_/CKF_ names.
 * Teardown calls (C_Finalize, C_CloseSession, C_CloseAllSessions, C_Logout,
 * C_FindObjectsFinal) are forwarded even when a rule fires, so that the
 * real module is never left half-open; the caller still sees the injected
 * value.  Every other injected call is not forwarded.
 *
 * Slots: only slots whose token is initialised are shown, whatever the
 * tokenPresent argument of C_GetSlotList says.
 *
 * Counters live as long as the module image: loading it afresh (after the
 * last dlclose) starts again from zero with the then current environment.
 */
#define _GNU_SOURCE 1
#include <p11-kit/pkcs11.h>

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define FAULTP11_EXPORT __attribute__((visibility("default")))

/* Every entry of the version 2 function list, in list order. */
#define FAULTP11_FUNCTIONS(X)                                                  \
  X(Initialize) X(Finalize) X(GetInfo) X(GetFunctionList) X(GetSlotList)       \
  X(GetSlotInfo) X(GetTokenInfo) X(GetMechanismList) X(GetMechanismInfo)       \
  X(InitToken) X(InitPIN) X(SetPIN) X(OpenSession) X(CloseSession)             \
  X(CloseAllSessions) X(GetSessionInfo) X(GetOperationState)                   \
  X(SetOperationState) X(Login) X(Logout) X(CreateObject) X(CopyObject)        \
  X(DestroyObject) X(GetObjectSize) X(GetAttributeValue) X(SetAttributeValue)  \
  X(FindObjectsInit) X(FindObjects) X(FindObjectsFinal) X(EncryptInit)         \
  X(Encrypt) X(EncryptUpdate) X(EncryptFinal) X(DecryptInit) X(Decrypt)        \
  X(DecryptUpdate) X(DecryptFinal) X(DigestInit) X(Digest) X(DigestUpdate)     \
  X(DigestKey) X(DigestFinal) X(SignInit) X(Sign) X(SignUpdate) X(SignFinal)   \
  X(SignRecoverInit) X(SignRecover) X(VerifyInit) X(Verify) X(VerifyUpdate)    \
  X(VerifyFinal) X(VerifyRecoverInit) X(VerifyRecover)                         \
  X(DigestEncryptUpdate) X(DecryptDigestUpdate) X(SignEncryptUpdate)           \
  X(DecryptVerifyUpdate) X(GenerateKey) X(GenerateKeyPair) X(WrapKey)          \
  X(UnwrapKey) X(DeriveKey) X(SeedRandom) X(GenerateRandom)                    \
  X(GetFunctionStatus) X(CancelFunction) X(WaitForSlotEvent)

enum function_id {
#define FAULTP11_ENUM(name) FN_##name,
  FAULTP11_FUNCTIONS(FAULTP11_ENUM)
#undef FAULTP11_ENUM
  FN_COUNT
};

static const char *const function_names[FN_COUNT] = {
#define FAULTP11_NAME(name) "C_" #name,
    FAULTP11_FUNCTIONS(FAULTP11_NAME)
#undef FAULTP11_NAME
};

enum rule_kind {
  RULE_RETURN, RULE_FLAGS_OR, RULE_FLAGS_CLEAR, RULE_LENGTH, RULE_SLOT_COUNT, RULE_KILL_BEFORE, RULE_KILL_AFTER,
  RULE_CORRUPT, RULE_SLEEP
};

struct rule {
  int function;
  enum rule_kind kind;
  int has_class;
  CK_OBJECT_CLASS object_class;
  unsigned long nth;      /* 0: every matching call */
  int nth_and_later;      /* "#N+" */
  unsigned long matched;  /* matching calls seen so far */
  unsigned long value;    /* return value, or flag bits */
};

#define MAX_RULES 64
#define MAX_PATH_TEXT 4096

static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
static struct rule rules[MAX_RULES];
static size_t rule_count;
static unsigned long fail_call;   /* 0: off */
static unsigned long kill_call;   /* KILL_CALL / KILL_AFTER_CALL; 0: off */
static int kill_call_kind;        /* RULE_KILL_BEFORE or RULE_KILL_AFTER */
static int find_reverse;          /* FIND_REVERSE given */
static int find_ordered;          /* FIND_ORDERED given */
static int stale_after_refused_create; /* STALE_AFTER_REFUSED_CREATE given */
static int stale;                 /* a C_CreateObject was refused since the
                                     last C_Finalize */
static unsigned long total_calls; /* calls received, C_GetFunctionList aside */
static int config_error;
static char target_path[MAX_PATH_TEXT];
static char log_path[MAX_PATH_TEXT];
static char stamp_path[MAX_PATH_TEXT];

static void *target_handle;
static CK_FUNCTION_LIST_PTR target;

/* ---- configuration ---------------------------------------------------- */

struct named_value {
  const char *name;
  unsigned long value;
};

static const struct named_value value_names[] = {
    {"CKR_OK", CKR_OK},
    {"CKR_HOST_MEMORY", CKR_HOST_MEMORY},
    {"CKR_GENERAL_ERROR", CKR_GENERAL_ERROR},
    {"CKR_FUNCTION_FAILED", CKR_FUNCTION_FAILED},
    {"CKR_ARGUMENTS_BAD", CKR_ARGUMENTS_BAD},
    {"CKR_DEVICE_ERROR", CKR_DEVICE_ERROR},
    {"CKR_DEVICE_MEMORY", CKR_DEVICE_MEMORY},
    {"CKR_DEVICE_REMOVED", CKR_DEVICE_REMOVED},
    {"CKR_OBJECT_HANDLE_INVALID", CKR_OBJECT_HANDLE_INVALID},
    {"CKR_PIN_INCORRECT", CKR_PIN_INCORRECT},
    {"CKR_PIN_LOCKED", CKR_PIN_LOCKED},
    {"CKR_SESSION_HANDLE_INVALID", CKR_SESSION_HANDLE_INVALID},
    {"CKR_TOKEN_NOT_PRESENT", CKR_TOKEN_NOT_PRESENT},
    {"CKR_USER_NOT_LOGGED_IN", CKR_USER_NOT_LOGGED_IN},
    {"CKR_USER_ALREADY_LOGGED_IN", CKR_USER_ALREADY_LOGGED_IN},
    {"CKR_KEY_FUNCTION_NOT_PERMITTED", CKR_KEY_FUNCTION_NOT_PERMITTED},
    {"CKR_KEY_HANDLE_INVALID", CKR_KEY_HANDLE_INVALID},
    {"CKR_MECHANISM_INVALID", CKR_MECHANISM_INVALID},
    {"CKR_DATA_LEN_RANGE", CKR_DATA_LEN_RANGE},
    {"CKR_ENCRYPTED_DATA_INVALID", CKR_ENCRYPTED_DATA_INVALID},
    {"CKR_OPERATION_NOT_INITIALIZED", CKR_OPERATION_NOT_INITIALIZED},
    {"CKR_CRYPTOKI_NOT_INITIALIZED", CKR_CRYPTOKI_NOT_INITIALIZED},
    {"CKR_TOKEN_WRITE_PROTECTED", CKR_TOKEN_WRITE_PROTECTED},
    {"CKF_TOKEN_INITIALIZED", CKF_TOKEN_INITIALIZED},
    {"CKF_USER_PIN_COUNT_LOW", CKF_USER_PIN_COUNT_LOW},
    {"CKF_USER_PIN_FINAL_TRY", CKF_USER_PIN_FINAL_TRY},
    {"CKF_USER_PIN_LOCKED", CKF_USER_PIN_LOCKED},
    {"CKF_TOKEN_PRESENT", CKF_TOKEN_PRESENT},
};

static int parse_value(const char *text, unsigned long *out) {
  size_t i;
  char *end = NULL;
  for (i = 0; i < sizeof value_names / sizeof value_names[0]; ++i) {
    if (strcmp(text, value_names[i].name) == 0) {
      *out = value_names[i].value;
      return 1;
    }
  }
  if (*text == '\0' || *text == '-')
    return 0;
  errno = 0;
  *out = strtoul(text, &end, 0);
  return errno == 0 && end != NULL && *end == '\0';
}

static int find_function(const char *name, size_t length) {
  int i;
  for (i = 0; i < FN_COUNT; ++i) {
    if (strlen(function_names[i]) == length &&
        strncmp(function_names[i], name, length) == 0)
      return i;
  }
  return -1;
}

static int parse_class(const char *name, size_t length, CK_OBJECT_CLASS *out) {
  static const struct named_value classes[] = {
      {"cert", CKO_CERTIFICATE}, {"privkey", CKO_PRIVATE_KEY},
      {"pubkey", CKO_PUBLIC_KEY}, {"data", CKO_DATA},
      {"secret", CKO_SECRET_KEY},
  };
  size_t i;
  for (i = 0; i < sizeof classes / sizeof classes[0]; ++i) {
    if (strlen(classes[i].name) == length &&
        strncmp(classes[i].name, name, length) == 0) {
      *out = classes[i].value;
      return 1;
    }
  }
  return 0;
}

static void report_config_error(const char *item) {
  config_error = 1;
  fprintf(stderr, "faultp11: cannot use rule \"%s\"\n", item);
}

/* One item, already trimmed, e.g. "C_DestroyObject:cert#2=0x30". */
static void parse_item(char *item) {
  struct rule r;
  char *p = item;
  size_t name_length;
  char *value_text;

  if (strncmp(item, "FAIL_CALL=", 10) == 0) {
    unsigned long n;
    if (!parse_value(item + 10, &n) || n == 0) {
      report_config_error(item);
      return;
    }
    fail_call = n;
    return;
  }
  if (strncmp(item, "KILL_CALL=", 10) == 0 ||
      strncmp(item, "KILL_AFTER_CALL=", 16) == 0) {
    const int after = item[5] == 'A';
    if (!parse_value(item + (after ? 16 : 10), &kill_call) || kill_call == 0) {
      report_config_error(item);
      return;
    }
    kill_call_kind = after ? RULE_KILL_AFTER : RULE_KILL_BEFORE;
    return;
  }
  if (strcmp(item, "FIND_REVERSE") == 0) {
    find_reverse = 1;
    return;
  }
  if (strcmp(item, "FIND_ORDERED") == 0) {
    find_ordered = 1;
    return;
  }
  if (strcmp(item, "STALE_AFTER_REFUSED_CREATE") == 0) {
    stale_after_refused_create = 1;
    return;
  }

  memset(&r, 0, sizeof r);
  r.kind = RULE_RETURN;
  name_length = strcspn(p, ":#.=|&");
  r.function = find_function(p, name_length);
  if (r.function < 0) {
    report_config_error(item);
    return;
  }
  p += name_length;
  if (*p == ':') {
    size_t class_length;
    ++p;
    class_length = strcspn(p, "#.=|&");
    if (r.function == FN_OpenSession) {
      /* The one qualifier of C_OpenSession: read-write requests only. */
      if (class_length != 2 || strncmp(p, "rw", 2) != 0) {
        report_config_error(item);
        return;
      }
      r.object_class = CKF_RW_SESSION;
    } else if (!parse_class(p, class_length, &r.object_class)) {
      report_config_error(item);
      return;
    }
    r.has_class = 1;
    p += class_length;
  }
  if (*p == '#') {
    char *end = NULL;
    ++p;
    errno = 0;
    r.nth = strtoul(p, &end, 10);
    if (errno != 0 || end == p || r.nth == 0) {
      report_config_error(item);
      return;
    }
    p = end;
    if (*p == '+') {
      r.nth_and_later = 1;
      ++p;
    }
  }
  if (strncmp(p, ".flags|=", 8) == 0) {
    r.kind = RULE_FLAGS_OR;
    value_text = p + 8;
  } else if (strncmp(p, ".flags&=~", 9) == 0) {
    r.kind = RULE_FLAGS_CLEAR;
    value_text = p + 9;
  } else if (strncmp(p, ".length=", 8) == 0 && r.function == FN_GetAttributeValue) {
    r.kind = RULE_LENGTH;
    value_text = p + 8;
  } else if (strncmp(p, ".count=", 7) == 0 && r.function == FN_GetSlotList) {
    r.kind = RULE_SLOT_COUNT;
    value_text = p + 7;
  } else if (strcmp(p, ".corrupt") == 0 &&
             (r.function == FN_Sign || r.function == FN_Decrypt) &&
             !r.has_class) {
    r.kind = RULE_CORRUPT;
    value_text = NULL;
  } else if (*p == '=') {
    value_text = p + 1;
  } else {
    report_config_error(item);
    return;
  }
  if ((r.kind == RULE_FLAGS_OR || r.kind == RULE_FLAGS_CLEAR) && r.function != FN_GetTokenInfo &&
      r.function != FN_GetSlotInfo) {
    report_config_error(item);
    return;
  }
  if (r.kind == RULE_CORRUPT) {
    /* no value */
  } else if (r.kind == RULE_RETURN && strcmp(value_text, "KILL") == 0) {
    r.kind = RULE_KILL_BEFORE;
  } else if (r.kind == RULE_RETURN && strcmp(value_text, "KILL_AFTER") == 0) {
    r.kind = RULE_KILL_AFTER;
  } else if (r.kind == RULE_RETURN && strncmp(value_text, "SLEEP:", 6) == 0) {
    r.kind = RULE_SLEEP;
    if (!parse_value(value_text + 6, &r.value)) {
      report_config_error(item);
      return;
    }
  } else if (!parse_value(value_text, &r.value)) {
    report_config_error(item);
    return;
  }
  if (rule_count == MAX_RULES) {
    report_config_error(item);
    return;
  }
  rules[rule_count++] = r;
}

static char *trim(char *text) {
  char *end;
  while (isspace((unsigned char)*text))
    ++text;
  end = text + strlen(text);
  while (end > text && isspace((unsigned char)end[-1]))
    *--end = '\0';
  return text;
}

static void copy_env(const char *name, char *out, size_t size) {
  const char *value = getenv(name);
  out[0] = '\0';
  if (value == NULL)
    return;
  if (strlen(value) >= size) {
    fprintf(stderr, "faultp11: %s is too long\n", name);
    config_error = 1;
    return;
  }
  memcpy(out, value, strlen(value) + 1);
}

static void load_config(void) {
  const char *text = getenv("FAULTP11_RULES");
  copy_env("FAULTP11_TARGET", target_path, sizeof target_path);
  copy_env("FAULTP11_LOG", log_path, sizeof log_path);
  copy_env("FAULTP11_LOG_STAMP", stamp_path, sizeof stamp_path);
  if (text != NULL) {
    char *copy = strdup(text);
    char *saveptr = NULL;
    char *item;
    if (copy == NULL) {
      config_error = 1;
      return;
    }
    for (item = strtok_r(copy, ";\n", &saveptr); item != NULL;
         item = strtok_r(NULL, ";\n", &saveptr)) {
      item = trim(item);
      if (*item != '\0')
        parse_item(item);
    }
    free(copy);
  }
}

__attribute__((constructor)) static void faultp11_load(void) { load_config(); }

__attribute__((destructor)) static void faultp11_unload(void) {
  /* A caller that unloads us without C_Finalize leaves the real module
   * initialised; it is released only when it was finalised. */
  target = NULL;
  target_handle = NULL;
}

/* ---- call bookkeeping ------------------------------------------------- */

struct call {
  int function;
  int kill;                 /* RULE_KILL_BEFORE or RULE_KILL_AFTER; 0: none */
  int inject;               /* answer with value */
  CK_RV value;
  unsigned long flags_or;    /* flag rules that fired */
  unsigned long flags_clear;
  int has_length;            /* a length rule fired */
  unsigned long length;
  int logs_template;         /* the log line names the template's types */
  int marks_queries;         /* entries without a buffer end in "?" */
  CK_ATTRIBUTE_PTR templ;
  CK_ULONG count;
  int has_slot_count;        /* a slot count rule fired */
  unsigned long slot_count;
  int corrupt;               /* a corrupt rule fired */
  int corrupted;             /* a byte of the answer was flipped */
  unsigned long sleep_ms;    /* a sleep rule fired */
  int logs_flags;            /* the log line names the session flags */
  CK_FLAGS session_flags;
};

static int is_teardown(int function) {
  return function == FN_Finalize || function == FN_CloseSession ||
         function == FN_CloseAllSessions || function == FN_Logout ||
         function == FN_FindObjectsFinal;
}

static int rule_fires(struct rule *r, int has_class, CK_OBJECT_CLASS cls) {
  if (r->has_class && (!has_class || r->object_class != cls))
    return 0;
  ++r->matched;
  if (r->nth == 0)
    return 1;
  return r->nth_and_later ? r->matched >= r->nth : r->matched == r->nth;
}

static void write_log(const char *line, size_t length);

/* Logs the call as killed and ends the process the hard way: no handler,
 * no atexit, no destructor, no C_Finalize reaches the token. */
static void kill_self(const struct call *c, CK_RV rv) {
  char line[128];
  int n = snprintf(line, sizeof line, "%s 0x%08lX killed %s\n",
                   function_names[c->function], (unsigned long)rv,
                   c->kill == RULE_KILL_BEFORE ? "before" : "after");
  if (n > 0 && (size_t)n < sizeof line) {
    pthread_mutex_lock(&state_lock);
    write_log(line, (size_t)n);
    pthread_mutex_unlock(&state_lock);
  }
  for (;;) {
    kill(getpid(), SIGKILL);
    pause();
  }
}

static void begin_call(struct call *c, int function, int has_class,
                       CK_OBJECT_CLASS cls) {
  size_t i;
  memset(c, 0, sizeof *c);
  c->function = function;
  pthread_mutex_lock(&state_lock);
  if (function != FN_GetFunctionList)
    ++total_calls;
  for (i = 0; i < rule_count; ++i) {
    struct rule *r = &rules[i];
    if (r->function != function || !rule_fires(r, has_class, cls))
      continue;
    if (r->kind == RULE_KILL_BEFORE || r->kind == RULE_KILL_AFTER) {
      c->kill = (int)r->kind;
      continue;
    }
    if (r->kind == RULE_CORRUPT) {
      c->corrupt = 1;
    } else if (r->kind == RULE_RETURN) {
      if (!c->inject) {
        c->inject = 1;
        c->value = r->value;
      }
    } else if (r->kind == RULE_FLAGS_OR) {
      c->flags_or |= r->value;
    } else if (r->kind == RULE_LENGTH) {
      c->has_length = 1;
      c->length = r->value;
    } else if (r->kind == RULE_SLOT_COUNT) {
      c->has_slot_count = 1;
      c->slot_count = r->value;
    } else if (r->kind == RULE_SLEEP) {
      c->sleep_ms = r->value;
    } else {
      c->flags_clear |= r->value;
    }
  }
  if (fail_call != 0 && function != FN_GetFunctionList &&
      total_calls == fail_call) {
    c->inject = 1;
    c->value = CKR_DEVICE_ERROR;
  }
  if (kill_call != 0 && function != FN_GetFunctionList &&
      total_calls == kill_call)
    c->kill = kill_call_kind;
  if (stale && !c->inject && function == FN_DestroyObject) {
    c->inject = 1;
    c->value = CKR_USER_NOT_LOGGED_IN;
  } else if (stale && !c->inject && function == FN_Login) {
    c->inject = 1;
    c->value = CKR_USER_ALREADY_LOGGED_IN;
  }
  if (stale_after_refused_create && function == FN_CreateObject && c->inject &&
      c->value != CKR_OK)
    stale = 1;
  pthread_mutex_unlock(&state_lock);
  if (c->kill == RULE_KILL_BEFORE)
    kill_self(c, CKR_DEVICE_REMOVED);
  if (c->sleep_ms != 0) {
    struct timespec left = {(time_t)(c->sleep_ms / 1000), (long)(c->sleep_ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
}

static void write_log(const char *line, size_t length) {
  int fd;
  if (log_path[0] == '\0')
    return;
  fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  while (length > 0) {
    ssize_t n = write(fd, line, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    line += n;
    length -= (size_t)n;
  }
  close(fd);
}

/* The template of the call, kept for its log line. */
static void note_template(struct call *c, CK_ATTRIBUTE_PTR templ,
                          CK_ULONG count, int marks_queries) {
  c->logs_template = 1;
  c->marks_queries = marks_queries;
  c->templ = templ;
  c->count = templ != NULL ? count : 0;
}

static const struct {
  CK_ATTRIBUTE_TYPE type;
  const char *name;
} attribute_names[] = {
#define FAULTP11_ATTR(name) {name, #name},
    FAULTP11_ATTR(CKA_CLASS) FAULTP11_ATTR(CKA_TOKEN)
    FAULTP11_ATTR(CKA_PRIVATE) FAULTP11_ATTR(CKA_LABEL)
    FAULTP11_ATTR(CKA_APPLICATION) FAULTP11_ATTR(CKA_VALUE)
    FAULTP11_ATTR(CKA_OBJECT_ID) FAULTP11_ATTR(CKA_CERTIFICATE_TYPE)
    FAULTP11_ATTR(CKA_ISSUER) FAULTP11_ATTR(CKA_SERIAL_NUMBER)
    FAULTP11_ATTR(CKA_TRUSTED) FAULTP11_ATTR(CKA_CERTIFICATE_CATEGORY)
    FAULTP11_ATTR(CKA_KEY_TYPE) FAULTP11_ATTR(CKA_SUBJECT)
    FAULTP11_ATTR(CKA_ID) FAULTP11_ATTR(CKA_SENSITIVE)
    FAULTP11_ATTR(CKA_ENCRYPT) FAULTP11_ATTR(CKA_DECRYPT)
    FAULTP11_ATTR(CKA_WRAP) FAULTP11_ATTR(CKA_UNWRAP)
    FAULTP11_ATTR(CKA_SIGN) FAULTP11_ATTR(CKA_SIGN_RECOVER)
    FAULTP11_ATTR(CKA_VERIFY) FAULTP11_ATTR(CKA_VERIFY_RECOVER)
    FAULTP11_ATTR(CKA_DERIVE) FAULTP11_ATTR(CKA_START_DATE)
    FAULTP11_ATTR(CKA_END_DATE) FAULTP11_ATTR(CKA_MODULUS)
    FAULTP11_ATTR(CKA_MODULUS_BITS) FAULTP11_ATTR(CKA_PUBLIC_EXPONENT)
    FAULTP11_ATTR(CKA_PRIVATE_EXPONENT) FAULTP11_ATTR(CKA_PRIME_1)
    FAULTP11_ATTR(CKA_PRIME_2) FAULTP11_ATTR(CKA_EXPONENT_1)
    FAULTP11_ATTR(CKA_EXPONENT_2) FAULTP11_ATTR(CKA_COEFFICIENT)
    FAULTP11_ATTR(CKA_EXTRACTABLE) FAULTP11_ATTR(CKA_LOCAL)
    FAULTP11_ATTR(CKA_NEVER_EXTRACTABLE)
    FAULTP11_ATTR(CKA_ALWAYS_SENSITIVE) FAULTP11_ATTR(CKA_MODIFIABLE)
    FAULTP11_ATTR(CKA_COPYABLE) FAULTP11_ATTR(CKA_DESTROYABLE)
#undef FAULTP11_ATTR
};

/* Appends ",<type>" (no comma first) to line at *used; 0 when full. */
static int append_type(char *line, size_t size, size_t *used, int first,
                       CK_ATTRIBUTE_TYPE type, int query) {
  size_t i;
  const char *name = NULL;
  char hex[24];
  int n;
  if (*used >= size)
    return 0;
  for (i = 0; i < sizeof attribute_names / sizeof attribute_names[0]; ++i) {
    if (attribute_names[i].type == type)
      name = attribute_names[i].name;
  }
  if (name == NULL) {
    snprintf(hex, sizeof hex, "0x%08lX", (unsigned long)type);
    name = hex;
  }
  n = snprintf(line + *used, size - *used, "%s%s%s", first ? "" : ",", name,
               query ? "?" : "");
  if (n < 0 || (size_t)n >= size - *used)
    return 0;
  *used += (size_t)n;
  return 1;
}

/* " ns=<monotonic time> stamp=<first word of the stamp file>" ("-" when
   the file cannot be read). */
static void append_stamp(char *line, size_t size, size_t *used) {
  char word[64] = "-";
  struct timespec now;
  int fd, n;
  clock_gettime(CLOCK_MONOTONIC, &now);
  fd = open(stamp_path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t got = read(fd, word, sizeof word - 1);
    close(fd);
    if (got > 0) {
      size_t end = 0;
      word[got] = '\0';
      while (word[end] != '\0' && !isspace((unsigned char)word[end]))
        ++end;
      word[end] = '\0';
      if (end == 0)
        strcpy(word, "-");
    } else {
      strcpy(word, "-");
    }
  }
  n = snprintf(line + *used, size - *used, " ns=%lld stamp=%s",
               (long long)now.tv_sec * 1000000000LL + now.tv_nsec, word);
  if (n > 0 && (size_t)n < size - *used)
    *used += (size_t)n;
}

static CK_RV end_call(const struct call *c, CK_RV rv) {
  char line[4096];
  size_t used;
  CK_ULONG i;
  if (c->kill == RULE_KILL_AFTER)
    kill_self(c, rv);
  char flags[32] = "";
  if (c->logs_flags)
    snprintf(flags, sizeof flags, " flags=0x%08lX",
             (unsigned long)c->session_flags);
  int n = snprintf(line, sizeof line, "%s 0x%08lX%s%s%s%s",
                   function_names[c->function], (unsigned long)rv,
                   c->inject ? " injected" : "",
                   c->corrupted ? " corrupted" : "", flags,
                   c->logs_template ? " attrs=" : "");
  if (n <= 0 || (size_t)n >= sizeof line)
    return rv;
  used = (size_t)n;
  /* Room is kept for ",..." and the line end: a template too long for one
     line is cut at its last whole entry, never dropped. */
  for (i = 0; i < c->count; ++i) {
    if (!append_type(line, sizeof line - 8, &used, i == 0, c->templ[i].type,
                     c->marks_queries && c->templ[i].pValue == NULL)) {
      n = snprintf(line + used, sizeof line - used, ",...");
      if (n > 0) used += (size_t)n;
      break;
    }
  }
  if (stamp_path[0] != '\0')
    append_stamp(line, sizeof line - 1, &used);
  n = snprintf(line + used, sizeof line - used, "\n");
  if (n > 0 && (size_t)n < sizeof line - used) {
    n = (int)(used + (size_t)n);
    pthread_mutex_lock(&state_lock);
    write_log(line, (size_t)n);
    pthread_mutex_unlock(&state_lock);
  }
  return rv;
}

/* Class of the template's CKA_CLASS attribute, when it has one. */
static int template_class(CK_ATTRIBUTE_PTR templ, CK_ULONG count,
                          CK_OBJECT_CLASS *cls) {
  CK_ULONG i;
  if (templ == NULL)
    return 0;
  for (i = 0; i < count; ++i) {
    if (templ[i].type == CKA_CLASS && templ[i].pValue != NULL &&
        templ[i].ulValueLen == sizeof(CK_OBJECT_CLASS)) {
      memcpy(cls, templ[i].pValue, sizeof *cls);
      return 1;
    }
  }
  return 0;
}

static int wants_class(int function) {
  size_t i;
  int wanted = 0;
  pthread_mutex_lock(&state_lock);
  for (i = 0; i < rule_count; ++i) {
    if (rules[i].function == function && rules[i].has_class)
      wanted = 1;
  }
  pthread_mutex_unlock(&state_lock);
  return wanted;
}

/* Class of an existing object, asked of the real module (not logged). */
static int object_class(int function, CK_SESSION_HANDLE session,
                        CK_OBJECT_HANDLE object, CK_OBJECT_CLASS *cls) {
  CK_ATTRIBUTE attr;
  if (target == NULL || !wants_class(function))
    return 0;
  attr.type = CKA_CLASS;
  attr.pValue = cls;
  attr.ulValueLen = sizeof *cls;
  return target->C_GetAttributeValue(session, object, &attr, 1) == CKR_OK;
}

/* ---- forwarding --------------------------------------------------------- */

#define NOT_INITIALIZED CKR_CRYPTOKI_NOT_INITIALIZED

#define FORWARD_BODY(name, args)                                             \
  {                                                                          \
    struct call c;                                                           \
    CK_RV rv = CKR_OK;                                                       \
    begin_call(&c, FN_##name, 0, 0);                                         \
    if (!c.inject || is_teardown(FN_##name))                                 \
      rv = target != NULL ? target->C_##name args : NOT_INITIALIZED;         \
    return end_call(&c, c.inject ? c.value : rv);                            \
  }

#define FORWARD(name, params, args)                                          \
  static CK_RV fp_##name params FORWARD_BODY(name, args)

static CK_FUNCTION_LIST function_list;

static void release_target(void) {
  if (target_handle != NULL)
    dlclose(target_handle);
  target_handle = NULL;
  target = NULL;
}

static CK_RV load_target(void) {
  CK_C_GetFunctionList get_list;
  CK_FUNCTION_LIST_PTR list = NULL;
  void *handle;
  void *symbol;
  if (target != NULL)
    return CKR_OK;
  if (target_path[0] == '\0') {
    fprintf(stderr, "faultp11: FAULTP11_TARGET is not set\n");
    return CKR_GENERAL_ERROR;
  }
  handle = dlopen(target_path, RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) {
    fprintf(stderr, "faultp11: cannot load %s: %s\n", target_path, dlerror());
    return CKR_GENERAL_ERROR;
  }
  symbol = dlsym(handle, "C_GetFunctionList");
  memcpy(&get_list, &symbol, sizeof get_list);
  if (get_list == NULL || get_list(&list) != CKR_OK || list == NULL) {
    fprintf(stderr, "faultp11: %s has no usable C_GetFunctionList\n",
            target_path);
    dlclose(handle);
    return CKR_GENERAL_ERROR;
  }
  target_handle = handle;
  target = list;
  return CKR_OK;
}

static CK_RV fp_Initialize(CK_VOID_PTR init_args) {
  struct call c;
  CK_RV rv;
  begin_call(&c, FN_Initialize, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  if (config_error)
    return end_call(&c, CKR_GENERAL_ERROR);
  if (target != NULL)
    return end_call(&c, CKR_CRYPTOKI_ALREADY_INITIALIZED);
  rv = load_target();
  if (rv == CKR_OK) {
    rv = target->C_Initialize(init_args);
    if (rv != CKR_OK)
      release_target();
  }
  return end_call(&c, rv);
}

static CK_RV fp_Finalize(CK_VOID_PTR reserved) {
  struct call c;
  CK_RV rv = NOT_INITIALIZED;
  begin_call(&c, FN_Finalize, 0, 0);
  if (target != NULL) {
    rv = target->C_Finalize(reserved);
    if (rv == CKR_OK)
      release_target();
    /* A module started afresh has no stale state (counters stay). */
    pthread_mutex_lock(&state_lock);
    stale = 0;
    pthread_mutex_unlock(&state_lock);
  }
  return end_call(&c, c.inject ? c.value : rv);
}

static CK_RV fp_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  struct call c;
  begin_call(&c, FN_GetFunctionList, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  if (config_error)
    return end_call(&c, CKR_GENERAL_ERROR);
  if (list == NULL)
    return end_call(&c, CKR_ARGUMENTS_BAD);
  *list = &function_list;
  return end_call(&c, CKR_OK);
}

FORWARD(GetInfo, (CK_INFO_PTR info), (info))

/* Only slots with an initialised token are shown. */
static CK_RV initialised_slots(CK_SLOT_ID **out, CK_ULONG *out_count) {
  CK_ULONG count = 0, i, kept = 0;
  CK_SLOT_ID *slots;
  CK_RV rv = target->C_GetSlotList(CK_TRUE, NULL, &count);
  if (rv != CKR_OK)
    return rv;
  slots = calloc(count == 0 ? 1 : count, sizeof *slots);
  if (slots == NULL)
    return CKR_HOST_MEMORY;
  rv = target->C_GetSlotList(CK_TRUE, slots, &count);
  if (rv != CKR_OK) {
    free(slots);
    return rv;
  }
  for (i = 0; i < count; ++i) {
    CK_TOKEN_INFO info;
    if (target->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
        (info.flags & CKF_TOKEN_INITIALIZED) != 0)
      slots[kept++] = slots[i];
  }
  *out = slots;
  *out_count = kept;
  return CKR_OK;
}

static CK_RV fp_GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR list,
                            CK_ULONG_PTR count) {
  struct call c;
  CK_SLOT_ID *slots = NULL;
  CK_ULONG kept = 0;
  CK_RV rv;
  (void)token_present;
  begin_call(&c, FN_GetSlotList, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  if (target == NULL)
    return end_call(&c, NOT_INITIALIZED);
  if (count == NULL)
    return end_call(&c, CKR_ARGUMENTS_BAD);
  rv = initialised_slots(&slots, &kept);
  if (rv == CKR_OK && c.has_slot_count && c.slot_count < kept)
    kept = c.slot_count;
  if (rv == CKR_OK) {
    if (list == NULL) {
      *count = kept;
    } else if (*count < kept) {
      *count = kept;
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      if (kept > 0)
        memcpy(list, slots, kept * sizeof *slots);
      *count = kept;
    }
  }
  free(slots);
  return end_call(&c, rv);
}

static CK_RV fp_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  struct call c;
  CK_RV rv;
  begin_call(&c, FN_GetSlotInfo, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  rv = target != NULL ? target->C_GetSlotInfo(slot, info) : NOT_INITIALIZED;
  if (rv == CKR_OK && info != NULL) {
    info->flags |= c.flags_or;
    info->flags &= ~c.flags_clear;
  }
  return end_call(&c, rv);
}

static CK_RV fp_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  struct call c;
  CK_RV rv;
  begin_call(&c, FN_GetTokenInfo, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  rv = target != NULL ? target->C_GetTokenInfo(slot, info) : NOT_INITIALIZED;
  if (rv == CKR_OK && info != NULL) {
    info->flags |= c.flags_or;
    info->flags &= ~c.flags_clear;
  }
  return end_call(&c, rv);
}

FORWARD(GetMechanismList,
        (CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count),
        (slot, list, count))
FORWARD(GetMechanismInfo,
        (CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info),
        (slot, type, info))
FORWARD(InitToken,
        (CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len,
         CK_UTF8CHAR_PTR label),
        (slot, pin, pin_len, label))
FORWARD(InitPIN, (CK_SESSION_HANDLE s, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len),
        (s, pin, pin_len))
FORWARD(SetPIN,
        (CK_SESSION_HANDLE s, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len,
         CK_UTF8CHAR_PTR new_pin, CK_ULONG new_len),
        (s, old_pin, old_len, new_pin, new_len))
/* Rules qualified with ":rw" see read-write requests as their "class". */
static CK_RV fp_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app,
                            CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session) {
  struct call c;
  begin_call(&c, FN_OpenSession, (flags & CKF_RW_SESSION) != 0, CKF_RW_SESSION);
  c.logs_flags = 1;
  c.session_flags = flags;
  if (c.inject)
    return end_call(&c, c.value);
  return end_call(&c, target != NULL ? target->C_OpenSession(slot, flags, app,
                                                             notify, session)
                                     : NOT_INITIALIZED);
}
FORWARD(CloseSession, (CK_SESSION_HANDLE s), (s))
FORWARD(CloseAllSessions, (CK_SLOT_ID slot), (slot))
FORWARD(GetSessionInfo, (CK_SESSION_HANDLE s, CK_SESSION_INFO_PTR info),
        (s, info))
FORWARD(GetOperationState,
        (CK_SESSION_HANDLE s, CK_BYTE_PTR state, CK_ULONG_PTR len),
        (s, state, len))
FORWARD(SetOperationState,
        (CK_SESSION_HANDLE s, CK_BYTE_PTR state, CK_ULONG len,
         CK_OBJECT_HANDLE enc_key, CK_OBJECT_HANDLE auth_key),
        (s, state, len, enc_key, auth_key))
FORWARD(Login,
        (CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
         CK_ULONG pin_len),
        (s, user, pin, pin_len))
FORWARD(Logout, (CK_SESSION_HANDLE s), (s))

/* Calls whose rules may be restricted to one object class. */
#define FORWARD_TEMPLATE_CLASS(name, params, templ, count, args)             \
  static CK_RV fp_##name params {                                            \
    struct call c;                                                           \
    CK_OBJECT_CLASS cls = 0;                                                 \
    int has_class = template_class(templ, count, &cls);                      \
    begin_call(&c, FN_##name, has_class, cls);                               \
    note_template(&c, templ, count, 0);                                      \
    if (c.inject)                                                            \
      return end_call(&c, c.value);                                          \
    return end_call(&c, target != NULL ? target->C_##name args               \
                                       : NOT_INITIALIZED);                   \
  }

#define FORWARD_OBJECT_CLASS(name, params, session, object, args)            \
  static CK_RV fp_##name params {                                            \
    struct call c;                                                           \
    CK_OBJECT_CLASS cls = 0;                                                 \
    int has_class = object_class(FN_##name, session, object, &cls);          \
    begin_call(&c, FN_##name, has_class, cls);                               \
    if (c.inject)                                                            \
      return end_call(&c, c.value);                                          \
    return end_call(&c, target != NULL ? target->C_##name args               \
                                       : NOT_INITIALIZED);                   \
  }

FORWARD_TEMPLATE_CLASS(CreateObject,
                       (CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR templ,
                        CK_ULONG count, CK_OBJECT_HANDLE_PTR object),
                       templ, count, (s, templ, count, object))
FORWARD_OBJECT_CLASS(CopyObject,
                     (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                      CK_ATTRIBUTE_PTR templ, CK_ULONG count,
                      CK_OBJECT_HANDLE_PTR new_object),
                     s, object, (s, object, templ, count, new_object))
FORWARD_OBJECT_CLASS(DestroyObject,
                     (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object), s,
                     object, (s, object))
FORWARD(GetObjectSize,
        (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ULONG_PTR size),
        (s, object, size))
static CK_RV fp_GetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                                  CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
  struct call c;
  CK_RV rv;
  CK_ULONG i;
  CK_OBJECT_CLASS cls = 0;
  int has_class = object_class(FN_GetAttributeValue, s, object, &cls);
  begin_call(&c, FN_GetAttributeValue, has_class, cls);
  note_template(&c, templ, count, 1);
  if (c.inject)
    return end_call(&c, c.value);
  rv = target != NULL ? target->C_GetAttributeValue(s, object, templ, count)
                      : NOT_INITIALIZED;
  if (rv == CKR_OK && c.has_length && templ != NULL) {
    for (i = 0; i < count; ++i) {
      if (templ[i].pValue == NULL &&
          templ[i].ulValueLen != CK_UNAVAILABLE_INFORMATION)
        templ[i].ulValueLen = c.length;
    }
  }
  return end_call(&c, rv);
}
FORWARD_OBJECT_CLASS(SetAttributeValue,
                     (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                      CK_ATTRIBUTE_PTR templ, CK_ULONG count),
                     s, object, (s, object, templ, count))
FORWARD_TEMPLATE_CLASS(FindObjectsInit,
                       (CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR templ,
                        CK_ULONG count),
                       templ, count, (s, templ, count))
/* FIND_REVERSE: the whole result of the real search, handed out from its
 * end.  One search at a time, as PKCS#11 allows per session. */
#define MAX_REVERSED 65536
static struct {
  int filled;
  CK_SESSION_HANDLE session;
  CK_OBJECT_HANDLE handles[MAX_REVERSED];
  CK_ULONG count;
  CK_ULONG next;
} reversed;

/* FIND_ORDERED: the sort key of one found object. */
#define ORDER_VALUE_MAX 256
struct order_key {
  CK_OBJECT_HANDLE handle;
  CK_OBJECT_CLASS cls;
  CK_ULONG id_length;
  CK_ULONG label_length;
  unsigned char id[ORDER_VALUE_MAX];
  unsigned char label[ORDER_VALUE_MAX];
};

/* One value of the object into buffer; its length, 0 when unreadable. */
static CK_ULONG order_value(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type, void *buffer,
                            CK_ULONG size) {
  CK_ATTRIBUTE attr;
  attr.type = type;
  attr.pValue = buffer;
  attr.ulValueLen = size;
  if (target->C_GetAttributeValue(s, object, &attr, 1) != CKR_OK ||
      attr.ulValueLen > size)
    return 0;
  return attr.ulValueLen;
}

static int compare_bytes(const unsigned char *a, CK_ULONG a_length,
                         const unsigned char *b, CK_ULONG b_length) {
  CK_ULONG n = a_length < b_length ? a_length : b_length;
  int c = n > 0 ? memcmp(a, b, n) : 0;
  if (c != 0)
    return c;
  return a_length < b_length ? -1 : a_length > b_length ? 1 : 0;
}

static int compare_keys(const void *pa, const void *pb) {
  const struct order_key *a = pa;
  const struct order_key *b = pb;
  int c;
  if (a->cls != b->cls)
    return a->cls < b->cls ? -1 : 1;
  c = compare_bytes(a->id, a->id_length, b->id, b->id_length);
  if (c == 0)
    c = compare_bytes(a->label, a->label_length, b->label, b->label_length);
  if (c == 0 && a->handle != b->handle)
    c = a->handle < b->handle ? -1 : 1;
  return c;
}

/* Orders the buffered result; it is handed out from its end, so the
 * buffer holds the reverse of the wanted order. Unordered when memory
 * cannot be had. */
static void order_found(CK_SESSION_HANDLE s) {
  CK_ULONG i;
  struct order_key *keys;
  if (reversed.count == 0)
    return;
  keys = calloc(reversed.count, sizeof *keys);
  if (keys == NULL)
    return;
  for (i = 0; i < reversed.count; ++i) {
    CK_OBJECT_HANDLE h = reversed.handles[i];
    keys[i].handle = h;
    if (order_value(s, h, CKA_CLASS, &keys[i].cls, sizeof keys[i].cls) == 0)
      keys[i].cls = (CK_OBJECT_CLASS)-1;
    keys[i].id_length = order_value(s, h, CKA_ID, keys[i].id, ORDER_VALUE_MAX);
    keys[i].label_length =
        order_value(s, h, CKA_LABEL, keys[i].label, ORDER_VALUE_MAX);
  }
  qsort(keys, reversed.count, sizeof *keys, compare_keys);
  for (i = 0; i < reversed.count; ++i)
    reversed.handles[reversed.count - 1 - i] = keys[i].handle;
  free(keys);
}

/* Only a whole result counts as filled: a failed fill is tried again. */
static CK_RV fill_reversed(CK_SESSION_HANDLE s) {
  reversed.filled = 0;
  reversed.session = s;
  reversed.count = 0;
  reversed.next = 0;
  while (reversed.count < MAX_REVERSED) {
    CK_ULONG got = 0;
    CK_RV rv = target->C_FindObjects(s, reversed.handles + reversed.count,
                                     MAX_REVERSED - reversed.count, &got);
    if (rv != CKR_OK)
      return rv;
    if (got == 0)
      break;
    reversed.count += got;
  }
  if (find_ordered)
    order_found(s);
  reversed.filled = 1;
  return CKR_OK;
}

static CK_RV fp_FindObjects(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE_PTR objects,
                            CK_ULONG max, CK_ULONG_PTR count) {
  struct call c;
  CK_RV rv;
  CK_ULONG n = 0;
  begin_call(&c, FN_FindObjects, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  if (target == NULL)
    return end_call(&c, NOT_INITIALIZED);
  if (!find_reverse && !find_ordered)
    return end_call(&c, target->C_FindObjects(s, objects, max, count));
  if (objects == NULL || count == NULL)
    return end_call(&c, CKR_ARGUMENTS_BAD);
  if (!reversed.filled || reversed.session != s) {
    rv = fill_reversed(s);
    if (rv != CKR_OK)
      return end_call(&c, rv);
  }
  while (n < max && reversed.next < reversed.count) {
    objects[n++] = reversed.handles[reversed.count - 1 - reversed.next];
    ++reversed.next;
  }
  *count = n;
  return end_call(&c, CKR_OK);
}

static CK_RV fp_FindObjectsFinal(CK_SESSION_HANDLE s) {
  struct call c;
  CK_RV rv = CKR_OK;
  reversed.filled = 0;
  begin_call(&c, FN_FindObjectsFinal, 0, 0);
  /* A teardown call: forwarded even when a rule fires. */
  if (target != NULL)
    rv = target->C_FindObjectsFinal(s);
  else
    rv = NOT_INITIALIZED;
  return end_call(&c, c.inject ? c.value : rv);
}

#define FORWARD_KEY_INIT(name)                                               \
  FORWARD(name,                                                              \
          (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key), \
          (s, mech, key))
#define FORWARD_IN_OUT(name)                                                 \
  FORWARD(name,                                                              \
          (CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG in_len,             \
           CK_BYTE_PTR out, CK_ULONG_PTR out_len),                           \
          (s, in, in_len, out, out_len))
#define FORWARD_IN(name)                                                     \
  FORWARD(name, (CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG in_len),      \
          (s, in, in_len))
#define FORWARD_OUT(name)                                                    \
  FORWARD(name, (CK_SESSION_HANDLE s, CK_BYTE_PTR out, CK_ULONG_PTR out_len), \
          (s, out, out_len))

FORWARD_KEY_INIT(EncryptInit)
FORWARD_IN_OUT(Encrypt)
FORWARD_IN_OUT(EncryptUpdate)
FORWARD_OUT(EncryptFinal)
FORWARD_KEY_INIT(DecryptInit)

/* C_Sign and C_Decrypt: forwarded; a corrupt rule flips one bit of the
 * answer (the last byte of a signature, the first of a plaintext) when the
 * call succeeded and filled the caller's buffer. */
static CK_RV forward_corruptible(int function, CK_SESSION_HANDLE s,
                                 CK_BYTE_PTR in, CK_ULONG in_len,
                                 CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  struct call c;
  CK_RV rv;
  begin_call(&c, function, 0, 0);
  if (c.inject)
    return end_call(&c, c.value);
  if (target == NULL)
    return end_call(&c, NOT_INITIALIZED);
  rv = function == FN_Sign ? target->C_Sign(s, in, in_len, out, out_len)
                           : target->C_Decrypt(s, in, in_len, out, out_len);
  if (rv == CKR_OK && c.corrupt && out != NULL && out_len != NULL &&
      *out_len > 0) {
    out[function == FN_Sign ? *out_len - 1 : 0] ^= 0x01;
    c.corrupted = 1;
  }
  return end_call(&c, rv);
}

static CK_RV fp_Decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG in_len,
                        CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  return forward_corruptible(FN_Decrypt, s, in, in_len, out, out_len);
}
FORWARD_IN_OUT(DecryptUpdate)
FORWARD_OUT(DecryptFinal)
FORWARD(DigestInit, (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech), (s, mech))
FORWARD_IN_OUT(Digest)
FORWARD_IN(DigestUpdate)
FORWARD(DigestKey, (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key), (s, key))
FORWARD_OUT(DigestFinal)
FORWARD_KEY_INIT(SignInit)

static CK_RV fp_Sign(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG in_len,
                     CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  return forward_corruptible(FN_Sign, s, in, in_len, out, out_len);
}
FORWARD_IN(SignUpdate)
FORWARD_OUT(SignFinal)
FORWARD_KEY_INIT(SignRecoverInit)
FORWARD_IN_OUT(SignRecover)
FORWARD_KEY_INIT(VerifyInit)
FORWARD(Verify,
        (CK_SESSION_HANDLE s, CK_BYTE_PTR data, CK_ULONG data_len,
         CK_BYTE_PTR sig, CK_ULONG sig_len),
        (s, data, data_len, sig, sig_len))
FORWARD_IN(VerifyUpdate)
FORWARD_IN(VerifyFinal)
FORWARD_KEY_INIT(VerifyRecoverInit)
FORWARD_IN_OUT(VerifyRecover)
FORWARD_IN_OUT(DigestEncryptUpdate)
FORWARD_IN_OUT(DecryptDigestUpdate)
FORWARD_IN_OUT(SignEncryptUpdate)
FORWARD_IN_OUT(DecryptVerifyUpdate)
FORWARD(GenerateKey,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR templ,
         CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
        (s, mech, templ, count, key))
FORWARD(GenerateKeyPair,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR pub,
         CK_ULONG pub_count, CK_ATTRIBUTE_PTR priv, CK_ULONG priv_count,
         CK_OBJECT_HANDLE_PTR pub_key, CK_OBJECT_HANDLE_PTR priv_key),
        (s, mech, pub, pub_count, priv, priv_count, pub_key, priv_key))
FORWARD(WrapKey,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE wrapping,
         CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrapped_len),
        (s, mech, wrapping, key, wrapped, wrapped_len))
FORWARD(UnwrapKey,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech,
         CK_OBJECT_HANDLE unwrapping, CK_BYTE_PTR wrapped, CK_ULONG wrapped_len,
         CK_ATTRIBUTE_PTR templ, CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
        (s, mech, unwrapping, wrapped, wrapped_len, templ, count, key))
FORWARD(DeriveKey,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE base,
         CK_ATTRIBUTE_PTR templ, CK_ULONG count, CK_OBJECT_HANDLE_PTR key),
        (s, mech, base, templ, count, key))
FORWARD_IN(SeedRandom)
FORWARD_IN(GenerateRandom)
FORWARD(GetFunctionStatus, (CK_SESSION_HANDLE s), (s))
FORWARD(CancelFunction, (CK_SESSION_HANDLE s), (s))
FORWARD(WaitForSlotEvent, (CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR r),
        (flags, slot, r))

static CK_FUNCTION_LIST function_list = {
    .version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
#define FAULTP11_ENTRY(name) .C_##name = fp_##name,
    FAULTP11_FUNCTIONS(FAULTP11_ENTRY)
#undef FAULTP11_ENTRY
};

FAULTP11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  return fp_GetFunctionList(list);
}
