/* SPDX-License-Identifier: MIT */
/*
 * The JNI shim between org.orvel.Native and liborvel. Texts cross as byte[]
 * holding UTF-8 with their exact lengths (see jni_text.h). Every text the
 * library returns is copied into a new byte[] and freed with orvel_free
 * exactly once, also when the copy fails with an exception pending.
 * Only the Java_ functions are exported; nothing is registered globally.
 */
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>

#include "jni_text.h"
#include "orvel.h"

/* The store handle is a pointer carried in a Java long. */
static orvel_store *store_of(jlong handle) { return (orvel_store *)(intptr_t)handle; }

/* A new byte[] of a text the library returned (NULL stays null); the text is
 * freed in every case. */
static jbyteArray taken(JNIEnv *env, char *text) {
  jbyteArray bytes = jni_bytes(env, text);
  orvel_free(text);
  return bytes;
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
  return jni_bytes(env, orvel_last_error());
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
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  jint result = t.failed ? -1 : orvel_validate_kind(t.text[0]);
  jni_release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_isWished(JNIEnv *env, jclass cls, jlong store,
                                                      jbyteArray kind, jbyteArray item_id) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  t.text[1] = jni_c_text(env, item_id, NULL, &t.failed);
  jint result = t.failed ? 0 : orvel_is_wished(store_of(store), t.text[0], t.text[1]);
  jni_release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_Native_toggle(JNIEnv *env, jclass cls, jlong store,
                                                    jbyteArray kind, jbyteArray item_id,
                                                    jbyteArray title, jbyteArray artist) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  t.text[1] = jni_c_text(env, item_id, NULL, &t.failed);
  t.text[2] = jni_c_text(env, title, NULL, &t.failed);
  t.text[3] = jni_c_text(env, artist, NULL, &t.failed);
  jint result = t.failed ? -1
                         : orvel_apply_local_toggle(store_of(store), t.text[0], t.text[1],
                                                    t.text[2], t.text[3]);
  jni_release(&t);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_buildMineUrl(JNIEnv *env, jclass cls,
                                                                jbyteArray base_url) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, base_url, NULL, &t.failed);
  jbyteArray result = t.failed ? NULL : taken(env, orvel_build_mine_url(t.text[0]));
  jni_release(&t);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_buildWishRequest(
    JNIEnv *env, jclass cls, jbyteArray base_url, jboolean add, jbyteArray kind,
    jbyteArray item_id, jbyteArray title, jbyteArray artist) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  char *base = jni_c_text(env, base_url, NULL, &t.failed);
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  t.text[1] = jni_c_text(env, item_id, NULL, &t.failed);
  t.text[2] = jni_c_text(env, title, NULL, &t.failed);
  t.text[3] = jni_c_text(env, artist, NULL, &t.failed);
  jbyteArray result = NULL;
  if (!t.failed) {
    result = taken(env, orvel_build_wish_request_json(base, add ? 1 : 0, t.text[0], t.text[1],
                                                      t.text[2], t.text[3]));
  }
  free(base);
  jni_release(&t);
  return result;
}

/*
 * The response is copied, not read in place through a critical region: the
 * parse of a large response would stall the collector for every other thread
 * for as long as it runs, and the copy costs little beside the parse (see
 * the package's README). An empty array gives "" with length 0, which the
 * library reads as empty JSON.
 */
JNIEXPORT jint JNICALL Java_org_orvel_Native_load(JNIEnv *env, jclass cls, jlong store,
                                                  jbyteArray json) {
  (void)cls;
  int failed = 0;
  size_t len = 0;
  char *text = jni_c_text(env, json, &len, &failed);
  if (failed) return JNI_EXCEPTION_PENDING;
  jint result = orvel_load_mine_json(store_of(store), text, len);
  free(text);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_Native_exportJson(JNIEnv *env, jclass cls, jlong store) {
  (void)cls;
  return taken(env, orvel_export_json(store_of(store)));
}
