// Natives that start MAPI and open and close a store.
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "session/mapistore.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <string>

TOLVANE_NATIVE(jboolean, initMapi)(JNIEnv* env, jclass) {
  return nativeBoundary(env, JNI_TRUE, [&]() -> jboolean {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_initMapi\n");
    mapiLog("---- Java_com_plimo_mail_mapi_MAPINative_initMapi -----\n");
    CMapiSession::initMapi();
    return JNI_TRUE;
  });
}

TOLVANE_NATIVE(jlong, getStore)(JNIEnv* env, jclass, jstring jProfile, jstring jPassword, jstring jStore,
                                jstring jTempDir) {
  return nativeBoundary(env, jlong{0}, [&]() -> jlong {
    mapiLog("\n>>>>>>>>>>>>>>>> Java_com_plimo_mail_mapi_MAPINative_getStore <<<<<<<<<<<<<<<<<\n");
    std::string profile, password, store, tempDir;
    if (!loadJavaString(env, jProfile, profile, "Unable to load profile for JNI Native call")) return 0;
    if (!loadJavaString(env, jPassword, password, "Unable to load Password for JNI Native call")) return 0;
    if (!loadJavaString(env, jStore, store, "Unable to load Store for JNI Native call")) return 0;
    if (!loadJavaString(env, jTempDir, tempDir, "Unable to load TempDir for JNI Native call")) return 0;

    // The password never reaches the log: a given one shows as a mask.
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getStore : '%s' '%s' '%s' '%s'\n", profile.c_str(),
            password.empty() ? "" : "********", store.c_str(), tempDir.c_str());

    CMapiStore* pStore = nullptr;
    try {
      pStore = new CMapiStore(profile, password, store, tempDir);
      pStore->initialize();
      return toHandle(pStore);
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
    } catch (...) {
      throwMessagingException(env, unexpectedFailureText());
    }
    if (pStore) {
      pStore->close();
      delete pStore;
    }
    return 0;
  });
}

TOLVANE_NATIVE(void, closeStore)(JNIEnv* env, jclass, jlong hStore) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_closeStore\n");
    if (hStore == 0) return;
    liveobjects::Kind kind = handleKind(hStore);
    if (kind != liveobjects::Kind::Store) {
      throwMessagingException(env, kind == liveobjects::Kind::None ? "The store is already closed" : kInvalidHandleText);
      return;
    }
    // Its folders live on, detached, until they are closed.
    delete fromHandle<CMapiStore>(hStore);
  });
}
