/*
 * The JNI shim between org.orvel.Native and liborvel. Texts cross as byte[]
 * holding UTF-8 with their exact lengths: JNI's own string functions speak
 * modified UTF-8 (NUL as two bytes, supplementary characters as surrogate
 * pairs), which is not what the library reads or writes. Every text the
 * library returns is copied into a new byte[] and freed with orvel_free
 * exactly once, also when the copy fails with an exception pending.
 * Only the Java_ functions are exported; nothing is registered globally.
 */
#include <jni.h>
#include <stdlib.h>
#include <string.h>

#include "orvel.h"

/* The store handle is a pointer carried in a Java long. */
static orvel_store *store_of(jlong handle) { return (orvel_store *)(intptr_t)handle; }

static void throw_out_of_memory(JNIEnv *env) {
  jclass error = (*env)->FindClass(env, "java/lang/OutOfMemoryError");
  if (error != NULL) (*env)->ThrowNew(env, error, "liborvel: no memory for a text argument");
}

/*
 * A NUL-terminated copy of a Java byte[] (the Java side has refused NULs), or
 * NULL for a null array. *failed is set, with OutOfMemoryError pending, when
 * the copy cannot be made.
 */
static char *c_text(JNIEnv *env, jbyteArray bytes, int *failed) {
  if (bytes == NULL || *failed) return NULL;
  jsize len = (*env)->GetArrayLength(env, bytes);
  char *text = malloc((size_t)len + 1);
  if (text == NULL) {
    *failed = 1;
    throw_out_of_memory(env);
    return NULL;
  }
  (*env)->GetByteArrayRegion(env, bytes, 0, len, (jbyte *)text);
  text[len] = '\0';
  return text;
}

/* A new byte[] holding text (NULL stays null); text is freed in every case. */
static jbyteArray java_bytes(JNIEnv *env, char *text) {
  if (text == NULL) return NULL;
  size_t len = strlen(text);
  jbyteArray bytes = len <= 0x7fffffff ? (*env)->NewByteArray(env, (jsize)len) : NULL;
  if (bytes != NULL) (*env)->SetByteArrayRegion(env, bytes, 0, (jsize)len, (const jbyte *)text);
  orvel_free(text);
  return bytes; /* NULL with OutOfMemoryError pending when the array could not be made */
}

/* Up to four text arguments, released together. */
typedef struct {
  char *text[4];
  int failed;
} Texts;

static void release(Texts *t) {
  for (int i = 0; i < 4; ++i) free(t->text[i]);
}

JNIEXPORT jstring JNICALL Java_org_orvel_Native_version(JNIEnv *env, jclass cls) {
  (void)cls;
  return (*env)->NewStringUTF(env, orvel_version()); /* ASCII: modified UTF-8 is the same */
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_abiVersion(JNIEnv *env, jclass cls) {
  (void)env, (void)cls;
  return orvel_abi_version();
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_selftest(JNIEnv *env, jclass cls) {
  (void)env, (void)cls;
  return orvel_selftest();
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_lastError(JNIEnv *env, jclass cls) {
  (void)cls;
  const char *message = orvel_last_error();
  jsize len = (jsize)strlen(message);
  jbyteArray bytes = (*env)->NewByteArray(env, len);
  if (bytes != NULL) (*env)->SetByteArrayRegion(env, bytes, 0, len, (const jbyte *)message);
  return bytes;
}

JNIEXPORT jlong JNICALL Java_org_orvel_Native_create(JNIEnv *env, jclass cls) {
  (void)env, (void)cls;
  return (jlong)(intptr_t)orvel_create();
}

JNIEXPORT void JNICALL Java_org_orvel_Native_destroy(JNIEnv *env, jclass cls, jlong store) {
  (void)env, (void)cls;
  orvel_destroy(store_of(store));
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_count(JNIEnv *env, jclass cls, jlong store) {
  (void)env, (void)cls;
  return orvel_count(store_of(store));
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_validateKind(JNIEnv *env, jclass cls, jbyteArray kind) {
  (void)cls;
  Texts t = {{NULL}, 0};
  t.text[0] = c_text(env, kind, &t.failed);
  jint result = t.failed ? -1 : orvel_validate_kind(t.text[0]);
  release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_isWished(JNIEnv *env, jclass cls, jlong store,
                                                      jbyteArray kind, jbyteArray item_id) {
  (void)cls;
  Texts t = {{NULL}, 0};
  t.text[0] = c_text(env, kind, &t.failed);
  t.text[1] = c_text(env, item_id, &t.failed);
  jint result = t.failed ? 0 : orvel_is_wished(store_of(store), t.text[0], t.text[1]);
  release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_toggle(JNIEnv *env, jclass cls, jlong store,
                                                    jbyteArray kind, jbyteArray item_id,
                                                    jbyteArray title, jbyteArray artist) {
  (void)cls;
  Texts t = {{NULL}, 0};
  t.text[0] = c_text(env, kind, &t.failed);
  t.text[1] = c_text(env, item_id, &t.failed);
  t.text[2] = c_text(env, title, &t.failed);
  t.text[3] = c_text(env, artist, &t.failed);
  jint result = t.failed ? -1
                         : orvel_apply_local_toggle(store_of(store), t.text[0], t.text[1],
                                                    t.text[2], t.text[3]);
  release(&t);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_buildMineUrl(JNIEnv *env, jclass cls,
                                                                jbyteArray base_url) {
  (void)cls;
  Texts t = {{NULL}, 0};
  t.text[0] = c_text(env, base_url, &t.failed);
  jbyteArray result = t.failed ? NULL : java_bytes(env, orvel_build_mine_url(t.text[0]));
  release(&t);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_buildWishRequest(
    JNIEnv *env, jclass cls, jbyteArray base_url, jboolean add, jbyteArray kind,
    jbyteArray item_id, jbyteArray title, jbyteArray artist) {
  (void)cls;
  Texts t = {{NULL}, 0};
  char *base = c_text(env, base_url, &t.failed);
  t.text[0] = c_text(env, kind, &t.failed);
  t.text[1] = c_text(env, item_id, &t.failed);
  t.text[2] = c_text(env, title, &t.failed);
  t.text[3] = c_text(env, artist, &t.failed);
  jbyteArray result = NULL;
  if (!t.failed) {
    result = java_bytes(env, orvel_build_wish_request_json(base, add ? 1 : 0, t.text[0], t.text[1],
                                                           t.text[2], t.text[3]));
  }
  free(base);
  release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_load(JNIEnv *env, jclass cls, jlong store,
                                                  jbyteArray json) {
  (void)cls;
  jsize len = (*env)->GetArrayLength(env, json);
  if (len == 0) {
    /* A length of 0 means "up to the first NUL": an empty response is passed
     * as a text that ends at once, so it fails as empty JSON. */
    return orvel_load_mine_json(store_of(store), "", 0);
  }
  /* No copy of a large response: the parse calls back into nothing of the JVM. */
  void *bytes = (*env)->GetPrimitiveArrayCritical(env, json, NULL);
  if (bytes == NULL) return -2; /* OutOfMemoryError pending */
  jint result = orvel_load_mine_json(store_of(store), bytes, (size_t)len);
  (*env)->ReleasePrimitiveArrayCritical(env, json, bytes, JNI_ABORT);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_exportJson(JNIEnv *env, jclass cls, jlong store) {
  (void)cls;
  return java_bytes(env, orvel_export_json(store_of(store)));
}
