/* A scoring-component module written in C against vardenix/component.h alone.
 *
 * "Vardenix.Test.CEcho" keeps the last value put to "Value" and answers it when "Value" is read;
 * "Fail" fails both ways with a message; "BadText", "BadType", "BigI2" and "BigR4" answer what a host
 * must refuse.
 * Built with C_MODULE_* defined, the module is broken in the way the name says.
 */
#include <stdlib.h>
#include <string.h>

#include "vardenix/component.h"

typedef struct Echo {
  vx_value value;
  char* text; /* owns value.text */
} Echo;

static int32_t EchoCreate(void* context, void** object, const char** message) {
  Echo* echo = (Echo*)calloc(1, sizeof(Echo));
  (void)context;
  if (echo == NULL) {
    *message = "out of memory";
    return VX_FAILED;
  }
  *object = echo;
  return VX_OK;
}

static int32_t EchoPut(void* object, const char* member, const vx_value* value, const char** message) {
  Echo* echo = (Echo*)object;
  if (strcmp(member, "Fail") == 0) {
    *message = "the echo refuses every value";
    return VX_FAILED;
  }
  if (strcmp(member, "Value") != 0) return VX_UNKNOWN_MEMBER;
  free(echo->text);
  echo->text = NULL;
  echo->value = *value;
  if (value->type == VX_TEXT) {
    /* the host's text is valid only during this call */
    echo->text = (char*)malloc(value->text_len + 1);
    if (echo->text == NULL) {
      *message = "out of memory";
      return VX_FAILED;
    }
    memcpy(echo->text, value->text, value->text_len);
    echo->value.text = echo->text;
  }
  return VX_OK;
}

static int32_t EchoRead(void* object, const char* member, vx_value* result, const char** message) {
  Echo* echo = (Echo*)object;
  if (strcmp(member, "Value") == 0) {
    *result = echo->value;
    return VX_OK;
  }
  if (strcmp(member, "Fail") == 0) {
    *message = "the echo has nothing to say";
    return VX_FAILED;
  }
  if (strcmp(member, "BadText") == 0) {
    static const char kLatin1[] = "caf\xE9";
    result->type = VX_TEXT;
    result->text = kLatin1;
    result->text_len = 4;
    return VX_OK;
  }
  if (strcmp(member, "BadType") == 0) {
    result->type = 7; /* a date, which no component value may be */
    return VX_OK;
  }
  if (strcmp(member, "BigI2") == 0) {
    result->type = VX_I2;
    result->i = 40000;
    return VX_OK;
  }
  if (strcmp(member, "BigR4") == 0) {
    result->type = VX_R4;
    result->r = 1e300;
    return VX_OK;
  }
  if (strcmp(member, "Silent") == 0) return VX_FAILED; /* no message */
  return VX_UNKNOWN_MEMBER;
}

static void EchoRelease(void* object) {
  Echo* echo = (Echo*)object;
  free(echo->text);
  free(echo);
}

#ifdef C_MODULE_CLASS_SIZE
#define CLASS_SIZE C_MODULE_CLASS_SIZE
#else
#define CLASS_SIZE sizeof(vx_class)
#endif

static const vx_class kClasses[] = {
    {CLASS_SIZE, "Vardenix.Test.CEcho", NULL, EchoCreate, EchoPut, EchoRead, EchoRelease},
};

#if defined(C_MODULE_ABI_VERSION) || defined(C_MODULE_DESCRIPTOR_SIZE)
#ifndef C_MODULE_ABI_VERSION
#define C_MODULE_ABI_VERSION VX_ABI_VERSION
#endif
#ifndef C_MODULE_DESCRIPTOR_SIZE
#define C_MODULE_DESCRIPTOR_SIZE sizeof(vx_module)
#endif
static const vx_class* GetClass(uint32_t index) { return index == 0 ? &kClasses[0] : NULL; }
static const vx_module kModule = {C_MODULE_DESCRIPTOR_SIZE, C_MODULE_ABI_VERSION, GetClass};
VX_EXPORT const vx_module* VX_MODULE_ENTRY(void) { return &kModule; }
#elif defined(C_MODULE_NO_ENTRY)
VX_EXPORT const vx_class* echo_class(void) { return &kClasses[0]; }
#else
VX_DEFINE_MODULE(kClasses)
#endif
