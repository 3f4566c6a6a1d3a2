package com.plimo.mail.mapi;

import javax.mail.Folder;
import javax.mail.MessagingException;

/**
 * The native entry points of the MAPI mail library.
 *
 * <p>Every method is a thin call into {@code tolvanemapi81_build001}. Native objects
 * (stores, folders, messages, multiparts, body parts, transports) travel as opaque
 * {@code long} handles; 0 means "no object". A handle must only be passed back to the
 * methods that take that kind of handle, and never after the object that owns it has
 * been closed. Failures reach the caller as {@link MessagingException}.
 *
 * <p>The library checks every handle against the native objects that exist and refuses,
 * with a {@link MessagingException}, one whose object is gone or of another kind: a store,
 * folder or transport after its close ("The store is closed", "The folder is closed", "The
 * transport is closed"), the messages of a closed folder ("The folder of this message is
 * closed"), the multipart and parts of a discarded content, the folders and messages of a
 * closed store or transport ("The store of this message is closed", "The transport of this
 * message is closed"), and a handle that never was one ("Invalid class pointer."). A
 * handle whose address the library has since given to a new object of the same kind
 * reaches that object: {@link MAPIMessage}, {@link MAPIMultipart} and
 * {@link MAPIBodyPart} of the provider's folders refuse to be used once their folder
 * closed, so use the handles through those objects.
 *
 * <p>Nothing here is synchronised: a handle, and everything reached through it (a folder
 * and its messages, a message and its parts), must be used by one thread at a time.
 *
 * <p>Reading: {@link #initMapi()} once, {@link #getStore}, {@link #getInbox},
 * {@link #openFolder}, the folder and message reads, {@link #closeFolder},
 * {@link #closeStore}. Sending: {@link #getTransport}, {@link #createMessage}, the
 * setters, {@link #sendMessage}, {@link #destroyMessage}, {@link #closeTransport}.
 */
public final class MAPINative {

    /**
     * System property naming the library file to load instead of looking up
     * {@code tolvanemapi81_build001} on {@code java.library.path}.
     */
    public static final String LIBRARY_PATH_PROPERTY = "tolvane.mapi.library";

    static {
        String path = System.getProperty(LIBRARY_PATH_PROPERTY);
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("tolvanemapi81_build001");
        }
    }

    private MAPINative() {
    }

    // ---- Session, store and folder -------------------------------------------------

    /** Starts MAPI for this process. Always true; a start-up failure shows at the first logon. */
    public static native boolean initMapi();

    /** Logs on to a profile and opens its default store; returns the store handle. */
    public static native long getStore(String profile, String password, String store, String tempDir)
            throws MessagingException;

    /** Locates the store's Inbox; returns a folder handle (not yet opened). */
    public static native long getInbox(long store) throws MessagingException;

    /**
     * Logs the store's session off and deletes the store. Its folders stay until they are
     * closed, but read nothing more. Does nothing for 0. A store closed before raises a
     * {@link MessagingException}, "The store is already closed" (not declared, so that
     * callers written for the first version still compile).
     */
    public static native void closeStore(long store);

    /** Opens the folder and takes a snapshot of its messages. */
    public static native void openFolder(long folder, int flags) throws MessagingException;

    /** Number of messages in the folder's snapshot. */
    public static native int getFolderMessageCount(long folder) throws MessagingException;

    /** The message at a 1-based position, as a {@link MAPIMessage} of {@code javaFolder}. */
    public static native MAPIMessage getFolderMessage(long folder, Folder javaFolder, int msgnum)
            throws MessagingException;

    /** Every message of the folder, positions 1 to the count. */
    public static native MAPIMessage[] getFolderMessages(long folder, Folder javaFolder)
            throws MessagingException;

    /**
     * The messages numbered {@code first} to {@code last}: an array of length {@code last}
     * whose index {@code n - 1} holds message {@code n}; earlier slots are null.
     */
    public static native MAPIMessage[] getFolderMessageChunk(long folder, Folder javaFolder, int first, int last)
            throws MessagingException;

    public static native boolean isFolderOpen(long folder) throws MessagingException;

    /**
     * Closes and deletes the folder and every message fetched from it; with
     * {@code expunge}, first deletes the messages whose delete flag is set. Does nothing for
     * 0. A folder closed before raises a {@link MessagingException}, "The folder is already
     * closed" (not declared, so that callers written for the first version still compile).
     */
    public static native void closeFolder(long folder, boolean expunge);

    /** Deletes a composed message. Messages fetched from a folder are left to the folder. */
    public static native void destroyMessage(long message);

    // ---- Reading a message ---------------------------------------------------------

    public static native String getMessageSubject(long message) throws MessagingException;

    public static native String getMessageText(long message) throws MessagingException;

    public static native String getMessageHTML(long message) throws MessagingException;

    /** Sender, as display-form addresses ({@code "Name" <a@b>}); empty when there is none. */
    public static native String[] getMessageFrom(long message) throws MessagingException;

    public static native String[] getMessageTo(long message) throws MessagingException;

    public static native String[] getMessageCC(long message) throws MessagingException;

    public static native String[] getMessageBCC(long message) throws MessagingException;

    /** Reply-to addresses (bare), or the sender in display form when the message names none. */
    public static native String[] getMessageReplyTo(long message) throws MessagingException;

    /** Submit time as an automation date (days since 1899-12-30 UTC); 0.0 when absent. */
    public static native double getMessageSentDate(long message) throws MessagingException;

    /** Delivery time as an automation date; 0.0 when absent. */
    public static native double getMessageReceiveTime(long message) throws MessagingException;

    /** Internet message identifier; "" when absent, "MAPIMessage" when it cannot be read. */
    public static native String getMessageID(long message) throws MessagingException;

    /** "1" (high), "3" (normal) or "5" (low). */
    public static native String getMessagePriority(long message) throws MessagingException;

    /**
     * Marks the message for deletion at the next expunging close. Whatever the flag, the
     * message's content (its multipart and body-part handles) and its last exported
     * {@code .msg} file are discarded.
     */
    public static native void setMessageDeleteFlag(long message, boolean flag) throws MessagingException;

    // ---- Content -------------------------------------------------------------------

    /** The message's body parts, or null when it has neither body text nor attachments. */
    public static native MAPIMultipart getMessageContent(long message, MAPIMessage javaMessage)
            throws MessagingException;

    public static native int getMultipartCount(long multipart) throws MessagingException;

    /** The part at a 0-based index, which must lie below {@link #getMultipartCount}. */
    public static native MAPIBodyPart getMultipartBodypart(long multipart, MAPIMultipart javaMultipart, int index)
            throws MessagingException;

    public static native String getBodypartDisposition(long bodypart) throws MessagingException;

    /**
     * Writes the part's data to {@code fileName}: a new file readable by its owner only, or
     * an existing regular file of the user, emptied first; never through a symbolic link
     * at that name. The part owns that file from then on and deletes it when the message's
     * content is discarded; once a call succeeded, later calls write nothing. A call that
     * fails leaves the part unwritten (and takes away a file it made), so another name can
     * be tried.
     */
    public static native void writeBodypartToFile(long bodypart, String fileName) throws MessagingException;

    /** Exports the message as an Outlook {@code .msg} file in the store's temp directory; returns its path. */
    public static native String getMessageFile(long message) throws MessagingException;

    // ---- Composition and transport -------------------------------------------------

    /** Logs on for sending and opens the Outbox; returns the transport handle. */
    public static native long getTransport(String profile, String password, String tempDir, String sentFolder)
            throws MessagingException;

    /** Creates a message in the transport's Outbox; returns its handle (free it with {@link #destroyMessage}). */
    public static native long createMessage(long transport) throws MessagingException;

    public static native void setMessageSubject(long message, String subject) throws MessagingException;

    public static native void addMessageToRecipient(long message, String personal, String address)
            throws MessagingException;

    public static native void addMessageCCRecipient(long message, String personal, String address)
            throws MessagingException;

    public static native void addMessageBCCRecipient(long message, String personal, String address)
            throws MessagingException;

    public static native void addMessageFrom(long message, String personal, String address)
            throws MessagingException;

    public static native void setMessagePriority(long message, int priority) throws MessagingException;

    public static native void setMessageXHeader(long message, String name, String value) throws MessagingException;

    public static native void sendMessage(long message) throws MessagingException;

    public static native void setMessagePlainTextBody(long message, String body) throws MessagingException;

    public static native void setMessageHTMLBody(long message, String body) throws MessagingException;

    public static native void addMessageAttachment(long message, String attachName, String mimeType, String tempFile)
            throws MessagingException;

    public static native void addMessageInlineAttachment(long message, String attachName, String mimeType,
            String tempFile, String contentID) throws MessagingException;

    public static native void setMessageReplyTo(long message, String personal, String address)
            throws MessagingException;

    /** Releases the Outbox and logs the transport's session off. Does nothing for 0. */
    public static native void closeTransport(long transport);
}
