package com.plimo.mail.mapi.demo;

import com.plimo.mail.mapi.MAPINative;
import javax.mail.MessagingException;

/**
 * A logon to a MAPI profile's default store, closed with try-with-resources so that the
 * session is logged off on every path.
 */
final class StoreSession implements AutoCloseable {

    private final String profile;
    private long store;

    private StoreSession(String profile, long store) {
        this.profile = profile;
        this.store = store;
    }

    /** Logs on to {@code profile}; {@code tempDir} receives exported files. */
    static StoreSession open(String profile, String password, String tempDir) throws MessagingException {
        long store;
        try {
            store = MAPINative.getStore(profile, password, "", tempDir);
        } catch (MessagingException e) {
            throw new MessagingException("getStore: cannot log on to profile '" + profile + "'", e);
        }
        if (store == 0) {
            throw new MessagingException("getStore gave no store for profile '" + profile + "'");
        }
        return new StoreSession(profile, store);
    }

    String profile() {
        return profile;
    }

    long handle() {
        return store;
    }

    @Override
    public void close() {
        if (store != 0) {
            MAPINative.closeStore(store);
            store = 0;
        }
    }
}
