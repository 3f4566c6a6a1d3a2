package com.plimo.mail.mapi;

import javax.mail.MessagingException;

/**
 * The native entry points for messages attached to received messages, and for reading a
 * part's data as a stream, kept apart from the natives of {@link MAPINative} (whose set and
 * names do not change). Same library, same
 * conventions: opaque {@code long} handles, failures as {@link MessagingException}.
 *
 * <p>{@link #openAttachedMessage} opens the message of a "message/rfc822" part (an
 * attachment that holds a message, {@code ATTACH_EMBEDDED_MSG}) and gives a message handle
 * that every reading native of {@link MAPINative} takes: {@code getMessageSubject},
 * {@code getMessageFrom}, {@code getMessageTo}, {@code getMessageCC}, the dates and bodies,
 * {@code getMessageContent} (its own parts, attached messages included, which open the
 * same way), {@code writeBodypartToFile} and {@code getMessageFile}. It cannot be deleted
 * ({@code setMessageDeleteFlag} only discards its content) and {@code destroyMessage}
 * leaves it alone.
 *
 * <p>The attached message belongs to the content of the message that holds it:
 * {@link #closeAttachedMessage} deletes it, and the store deletes it with that content (a
 * change of the outer message's delete flag, the close of its folder or store), whichever
 * comes first. {@link MAPIAttachedMessage} is the Java object of one. A handle of an
 * attached message that is gone raises a {@link MessagingException} ("The attached message
 * is closed", or why its content went) instead of reaching freed memory.
 *
 * <p>Loading this class loads the library through {@link MAPINative}.
 */
public final class MAPINativeAttached {

    static {
        try {
            // MAPINative's initialiser loads the library whose natives these are too.
            Class.forName(MAPINative.class.getName(), true, MAPINativeAttached.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private MAPINativeAttached() {
    }

    /**
     * Opens the attached message of part {@code index} (0-based) of a message's content.
     *
     * @param multipart the content's handle ({@link MAPIMultipart#getMultipartPointer()})
     * @param index the part; out of range, or a part that is not an attached message, is a
     *     {@link MessagingException}
     * @param target when not null, the Java message the native side gives the new handle
     *     ({@code setMessagePointer}), as it does for a folder's messages
     * @return the attached message's handle, for {@link MAPINative}'s reading natives and
     *     {@link #closeAttachedMessage}
     */
    public static native long openAttachedMessage(long multipart, int index, MAPIMessage target)
            throws MessagingException;

    /**
     * Deletes an attached message and everything opened through it (its content, its own
     * attached messages). 0 is "Invalid class pointer."; a handle already closed (by this
     * call or with its content) is "The attached message is closed".
     */
    public static native void closeAttachedMessage(long message) throws MessagingException;

    /** How many attached messages the process holds open (what tests of leaks count). */
    public static native int liveAttachedMessages();

    /**
     * The author of a message, its From: address ("Name <address>" as
     * {@link MAPINative#getMessageFrom} gives the sender, its Sender: when it has one); the
     * sender when the message names no one it was sent for.
     */
    public static native String[] getMessageAuthor(long message) throws MessagingException;

    /**
     * The Internet header block of a received message as it arrived (unfolded lines are
     * kept folded, CRLF or LF), "" for a message that has none.
     */
    public static native String getMessageHeaders(long message) throws MessagingException;

    /** The size the store gives a message (PR_MESSAGE_SIZE), -1 when it gives none. */
    public static native int getMessageSize(long message) throws MessagingException;

    /**
     * What a MIME form of a message needs beyond its texts: {@code [0]} its message class
     * ("IPM.Note", "IPM.Note.SMIME.MultipartSigned" for a signed message kept as it arrived,
     * ...; "" for none), {@code [1]} the Windows code page of the charset its body came in
     * (PR_INTERNET_CPID, decimal), null when the store has none.
     */
    public static native String[] getMessageMime(long message) throws MessagingException;

    /**
     * What a MIME form of a part needs beyond its type, file name and content identifier, as
     * the store keeps it; each element null when the part has none (a body text has none):
     * {@code [0]} the charset of a text attachment, {@code [1]} its Content-Type as it arrived
     * when that had parameters beyond the charset, {@code [2]} its Content-Disposition as it
     * arrived ("" when it had none), {@code [3]} its content location, {@code [4]}
     * PR_ATTACH_FLAGS (decimal; 4 marks a part the HTML body shows inline).
     *
     * @param part the part's handle ({@link MAPIBodyPart#getBodyPartPointer()})
     */
    public static native String[] getPartMime(long part) throws MessagingException;

    /**
     * Reads a piece of a part's data straight from the store, without a file: up to
     * {@code length} bytes from byte {@code offset} of the data into
     * {@code buffer[start...]}. A reader that goes on where its last call ended reads on
     * from the open stream; another offset seeks. A body text that the message does not hold
     * reads as empty; an attached message's data is a {@code .msg} file and is refused here
     * ({@link MAPINative#writeBodypartToFile} writes it).
     *
     * @param part the part's handle ({@link MAPIBodyPart#getBodyPartPointer()})
     * @return the number of bytes read (at most 1 MiB per call), -1 at the end of the data
     */
    public static native int readPartData(long part, long offset, byte[] buffer, int start, int length)
            throws MessagingException;

    // ---- A folder that shows the stored read state, new mail and expunge ------------

    /**
     * Messages fetched from the folder from now on are not marked read, and its snapshot
     * carries each message's stored read state ({@link #getReadStates}). Call it right after
     * {@link MAPINative#openFolder}, before the folder is counted.
     */
    public static native void keepReadState(long folder) throws MessagingException;

    /**
     * Whether each message numbered {@code first..last} (1-based) was read when the snapshot
     * was taken (true where the store does not say).
     */
    public static native boolean[] getReadStates(long folder, int first, int last) throws MessagingException;

    /**
     * Adds the messages that arrived since the snapshot was taken at its end (the others
     * keep their numbers) and returns how many were added.
     */
    public static native int refreshFolder(long folder) throws MessagingException;

    /**
     * Deletes the messages fetched from the folder whose delete flag is set, takes them out
     * of the snapshot (the ones after them move up) and returns their former numbers in
     * order. A message the store would not delete stays, still flagged. The deleted
     * messages' handles are gone ("The message was expunged"); the others stay usable.
     */
    public static native int[] expungeFolder(long folder) throws MessagingException;

    /** Stores a message's read state (MAPI's read flag). */
    public static native void setMessageRead(long message, boolean read) throws MessagingException;
}
