package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPINative;
import javax.mail.MessagingException;
import javax.mail.Session;

/**
 * Loads the native library once per process and starts MAPI, turning a library that
 * cannot be found or linked into a {@link MessagingException} that says what was looked for.
 *
 * <p>The library is looked up the way {@link System#loadLibrary} finds it
 * ({@code java.library.path}), unless the session property {@value #SESSION_PROPERTY} or the
 * system property {@value MAPINative#LIBRARY_PATH_PROPERTY} names its file.
 */
final class NativeLibrary {

    /** Session property naming the library file. */
    static final String SESSION_PROPERTY = "mail.mapi.library";

    private static final Object LOCK = new Object();
    private static boolean started;
    private static String failure;

    private NativeLibrary() {
    }

    /** Loads the library and calls initMapi the first time; throws the same text every time it failed. */
    static void start(Session session) throws MessagingException {
        synchronized (LOCK) {
            if (started) {
                return;
            }
            if (failure != null) {
                throw new MessagingException(failure);
            }
            String path = session == null ? null : session.getProperty(SESSION_PROPERTY);
            if (path != null && !path.isEmpty() && System.getProperty(MAPINative.LIBRARY_PATH_PROPERTY) == null) {
                System.setProperty(MAPINative.LIBRARY_PATH_PROPERTY, path);
            }
            try {
                MAPINative.initMapi();
                started = true;
            } catch (UnsatisfiedLinkError | ExceptionInInitializerError | NoClassDefFoundError e) {
                failure = describe(e);
                // MessagingException takes only an Exception as its cause; the error goes along as suppressed.
                MessagingException me = new MessagingException(failure);
                me.addSuppressed(e);
                throw me;
            }
        }
    }

    private static String describe(Throwable e) {
        String named = System.getProperty(MAPINative.LIBRARY_PATH_PROPERTY);
        String where = named != null && !named.isEmpty()
                ? "from " + named + " (" + MAPINative.LIBRARY_PATH_PROPERTY + ")"
                : "as " + System.mapLibraryName("tolvanemapi81_build001") + " on java.library.path ("
                        + System.getProperty("java.library.path") + "); set " + SESSION_PROPERTY
                        + " or -D" + MAPINative.LIBRARY_PATH_PROPERTY + " to its path";
        Throwable cause = e instanceof ExceptionInInitializerError && e.getCause() != null ? e.getCause() : e;
        return "The MAPI library could not be loaded " + where + ": " + cause;
    }

    /** A property of the session, else the default. */
    static String property(Session session, String name, String fallback) {
        String value = session == null ? null : session.getProperty(name);
        return value == null ? fallback : value;
    }
}
