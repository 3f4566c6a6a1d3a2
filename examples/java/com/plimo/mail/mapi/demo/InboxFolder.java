package com.plimo.mail.mapi.demo;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import java.util.Properties;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.MethodNotSupportedException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.URLName;

/**
 * The store's Inbox as a read-only {@link Folder}: the smallest folder that lets the
 * natives hand out {@link MAPIMessage} objects, which carry their folder and number.
 *
 * <p>It owns the native folder handle from {@link MAPINative#getInbox}: {@link #close},
 * whether or not the folder was opened, deletes it and every message fetched through it. Nothing here may be used after its {@link StoreSession} is
 * closed.
 */
final class InboxFolder extends Folder {

    private long handle;
    private boolean open;

    private InboxFolder(Store store, long handle) {
        super(store);
        this.handle = handle;
    }

    /** Locates the Inbox of a logged-on store; the folder is not open yet. */
    static InboxFolder locate(StoreSession session) throws MessagingException {
        long handle;
        try {
            handle = MAPINative.getInbox(session.handle());
        } catch (MessagingException e) {
            throw new MessagingException("getInbox: cannot find the Inbox of profile '" + session.profile() + "'", e);
        }
        if (handle == 0) {
            throw new MessagingException("getInbox gave no folder for profile '" + session.profile() + "'");
        }
        return new InboxFolder(new OwnerStore(session.profile()), handle);
    }

    long handle() {
        return handle;
    }

    // ---- Opening, reading, closing ---------------------------------------------------

    /** Opens the folder, which takes a snapshot of its messages. Only READ_ONLY is offered. */
    @Override
    public synchronized void open(int requestedMode) throws MessagingException {
        checkHandle();
        if (open) {
            throw new IllegalStateException("The Inbox is already open");
        }
        if (requestedMode != READ_ONLY) {
            throw new MethodNotSupportedException("The demo opens the Inbox read-only");
        }
        try {
            MAPINative.openFolder(handle, requestedMode);
        } catch (MessagingException e) {
            throw new MessagingException("openFolder: cannot open the Inbox", e);
        }
        mode = requestedMode;
        open = true;
    }

    @Override
    public synchronized boolean isOpen() {
        if (!open || handle == 0) {
            return false;
        }
        try {
            return MAPINative.isFolderOpen(handle);
        } catch (MessagingException e) {
            return false;
        }
    }

    @Override
    public synchronized int getMessageCount() throws MessagingException {
        checkOpen();
        return MAPINative.getFolderMessageCount(handle);
    }

    @Override
    public synchronized Message getMessage(int msgnum) throws MessagingException {
        checkOpen();
        return MAPINative.getFolderMessage(handle, this, msgnum);
    }

    /** Every message of the snapshot in one native call, numbered from 1. */
    @Override
    public synchronized MAPIMessage[] getMessages() throws MessagingException {
        checkOpen();
        MAPIMessage[] messages;
        try {
            messages = MAPINative.getFolderMessages(handle, this);
        } catch (MessagingException e) {
            throw new MessagingException("getFolderMessages: cannot fetch the Inbox's messages", e);
        }
        return messages == null ? new MAPIMessage[0] : messages;
    }

    /**
     * Closes and deletes the native folder and the messages fetched from it; their
     * exported files and saved parts in the store's temp dir go with them.
     */
    @Override
    public synchronized void close(boolean expunge) {
        if (handle != 0) {
            MAPINative.closeFolder(handle, expunge);
            handle = 0;
        }
        open = false;
    }

    /** Closes without expunging: {@link Folder#close()} would expunge. */
    @Override
    public void close() {
        close(false);
    }

    private void checkHandle() throws MessagingException {
        if (handle == 0) {
            throw new MessagingException("The Inbox has been closed");
        }
    }

    private void checkOpen() throws MessagingException {
        checkHandle();
        if (!open) {
            throw new IllegalStateException("The Inbox is not open");
        }
    }

    // ---- What a read-only, flat Inbox answers ------------------------------------------

    @Override
    public String getName() {
        return "Inbox";
    }

    @Override
    public String getFullName() {
        return "Inbox";
    }

    @Override
    public Folder getParent() {
        return null;
    }

    @Override
    public boolean exists() {
        return true;
    }

    @Override
    public Folder[] list(String pattern) {
        return new Folder[0];
    }

    @Override
    public char getSeparator() {
        return '/';
    }

    @Override
    public int getType() {
        return HOLDS_MESSAGES;
    }

    @Override
    public boolean hasNewMessages() {
        return false;
    }

    @Override
    public Flags getPermanentFlags() {
        return new Flags(Flags.Flag.DELETED);
    }

    @Override
    public boolean create(int type) throws MessagingException {
        throw new MethodNotSupportedException("The demo does not create folders");
    }

    @Override
    public Folder getFolder(String name) throws MessagingException {
        throw new MethodNotSupportedException("The Inbox has no subfolders here");
    }

    @Override
    public boolean delete(boolean recurse) throws MessagingException {
        throw new MethodNotSupportedException("The demo does not delete folders");
    }

    @Override
    public boolean renameTo(Folder folder) throws MessagingException {
        throw new MethodNotSupportedException("The demo does not rename folders");
    }

    @Override
    public void appendMessages(Message[] messages) throws MessagingException {
        throw new MethodNotSupportedException("The demo does not add messages");
    }

    @Override
    public Message[] expunge() throws MessagingException {
        throw new MethodNotSupportedException("The demo does not expunge; it only reads");
    }

    /**
     * A folder needs a store with a session; the logon itself is {@link StoreSession}'s,
     * so this one only names the profile.
     */
    private static final class OwnerStore extends Store {
        OwnerStore(String profile) {
            super(Session.getInstance(new Properties()), new URLName("mapi", null, -1, null, profile, null));
        }

        @Override
        public Folder getDefaultFolder() throws MessagingException {
            throw new MethodNotSupportedException("Only the Inbox is reachable here");
        }

        @Override
        public Folder getFolder(String name) throws MessagingException {
            throw new MethodNotSupportedException("Only the Inbox is reachable here");
        }

        @Override
        public Folder getFolder(URLName url) throws MessagingException {
            throw new MethodNotSupportedException("Only the Inbox is reachable here");
        }
    }
}
