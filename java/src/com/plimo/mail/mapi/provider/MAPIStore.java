package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPINative;
import com.plimo.mail.mapi.NativeLifetime;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Set;
import java.util.WeakHashMap;
import javax.mail.AuthenticationFailedException;
import javax.mail.Folder;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.URLName;

/**
 * A MAPI profile's message store as a JavaMail {@link Store} (protocol {@code mapi}).
 *
 * <p>{@code connect(host, user, password)} logs on to the profile named by {@code user}
 * (else the session's {@code mail.mapi.user} or {@code mail.user}); the host is not used:
 * the MAPI home is the process's ({@code TOLVANE_MAPI_HOME}). Exported files go to
 * {@code mail.mapi.tempdir} (default {@code java.io.tmpdir}). {@link #close()} closes the
 * folders still open and logs off.
 *
 * <p>The store and its folders may be used from several threads: every native call made
 * through them (and through their messages) holds the store's monitor, since the native objects of one logon are not
 * reentrant.
 *
 * <p>A store dropped while connected (never closed) logs off once it is unreachable, by a
 * {@link java.lang.ref.Cleaner}; so does a folder dropped while open.
 */
public class MAPIStore extends Store {

    /** The logon: closed by close(), or by a cleaner if this store is dropped connected. */
    private NativeHandle logon;
    /** Under which the folders' native folders and messages live; ended as the store closes. */
    private NativeLifetime lifetime;
    private String profile;
    /** The folders open; held weakly, so that a folder dropped open can be cleaned. */
    private final Set<MAPIFolder> folders = Collections.newSetFromMap(new WeakHashMap<>());

    public MAPIStore(Session session, URLName url) {
        super(session, url);
    }

    /**
     * Takes the profile from the session when {@code user} is null, before javax.mail
     * falls back to the name of the system user: {@code mail.mapi.user},
     * else {@code mail.user}.
     */
    @Override
    public void connect(String host, int port, String user, String password) throws MessagingException {
        if (user == null) {
            user = session.getProperty("mail.mapi.user");
        }
        super.connect(host, port, user, password);
    }

    @Override
    protected boolean protocolConnect(String host, int port, String user, String password)
            throws MessagingException {
        NativeLibrary.start(session);
        if (user == null || user.isEmpty()) {
            user = NativeLibrary.property(session, "mail.mapi.user", session.getProperty("mail.user"));
        }
        if (user == null || user.isEmpty()) {
            throw new AuthenticationFailedException("No MAPI profile named: connect with the profile as the user");
        }
        String tempDir = NativeLibrary.property(session, "mail.mapi.tempdir", System.getProperty("java.io.tmpdir"));
        synchronized (nativeLock()) {
            if (logon != null && logon.get() != 0) {
                throw new IllegalStateException("The store is already connected");
            }
            long h;
            try {
                String profileName = user;
                String secret = password == null ? "" : password;
                h = Core.call(() -> MAPINative.getStore(profileName, secret, "", tempDir));
            } catch (MessagingException e) {
                AuthenticationFailedException failed = new AuthenticationFailedException(
                        "Cannot log on to MAPI profile '" + user + "': " + e.getMessage());
                failed.setNextException(e);
                throw failed;
            }
            if (h == 0) {
                throw new AuthenticationFailedException("Cannot log on to MAPI profile '" + user + "'");
            }
            // The cleaning action may not hold this store: its lock is its own.
            logon = new NativeHandle(this, h, null, MAPINative::closeStore);
            lifetime = new NativeLifetime(null, "The store of this message is closed");
            profile = user;
        }
        return true;
    }

    /** Closes the folders still open (without expunging) and logs off. */
    @Override
    public void close() throws MessagingException {
        List<MAPIFolder> open;
        synchronized (nativeLock()) {
            open = new ArrayList<>(folders);
        }
        for (MAPIFolder folder : open) {
            folder.closeQuietly();
        }
        synchronized (nativeLock()) {
            folders.clear();
            long h = logon == null ? 0 : logon.release();
            logon = null;
            if (lifetime != null) {
                lifetime.end();
                lifetime = null;
            }
            if (h != 0) {
                Core.run(() -> MAPINative.closeStore(h));
            }
        }
        super.close();
    }

    @Override
    public boolean isConnected() {
        synchronized (nativeLock()) {
            return logon != null && logon.get() != 0 && super.isConnected();
        }
    }

    @Override
    public Folder getDefaultFolder() throws MessagingException {
        checkConnected();
        return new MAPIFolder(this, "");
    }

    /** "INBOX" (in any case, or the store's own name "Inbox"); other names give folders that do not exist. */
    @Override
    public Folder getFolder(String name) throws MessagingException {
        checkConnected();
        return new MAPIFolder(this, name);
    }

    @Override
    public Folder getFolder(URLName url) throws MessagingException {
        return getFolder(url.getFile());
    }

    /** The profile logged on to; null before connect. */
    public String getProfile() {
        return profile;
    }

    /**
     * The lock of every native call of this logon: the store itself, which is also what
     * {@link com.plimo.mail.mapi.MAPIMessage} and its parts lock, taken before any folder's,
     * message's or part's own lock.
     */
    Object nativeLock() {
        return this;
    }

    /** The lifetime of this logon; null when not connected. Call with the native lock held. */
    NativeLifetime lifetime() {
        return lifetime;
    }

    /** The native store handle; throws when not connected. Call with the native lock held. */
    long handle() throws MessagingException {
        long h = logon == null ? 0 : logon.get();
        if (h == 0) {
            throw new MessagingException("The MAPI store is not connected");
        }
        return h;
    }

    void opened(MAPIFolder folder) {
        folders.add(folder);
    }

    void closed(MAPIFolder folder) {
        folders.remove(folder);
    }

    private void checkConnected() throws MessagingException {
        if (!isConnected()) {
            throw new IllegalStateException("The MAPI store is not connected");
        }
    }
}
