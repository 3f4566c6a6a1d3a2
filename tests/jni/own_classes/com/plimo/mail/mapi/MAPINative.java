package com.plimo.mail.mapi;

import javax.mail.Folder;
import javax.mail.MessagingException;

/** The 47 natives, as an application declares them; nothing else. */
public final class MAPINative {

    static {
        System.loadLibrary("tolvanemapi81_build001");
    }

    private MAPINative() {
    }

    public static native boolean initMapi();
    public static native long getStore(String profile, String password, String store, String tempDir) throws MessagingException;
    public static native long getInbox(long store) throws MessagingException;
    public static native void closeStore(long store);
    public static native void openFolder(long folder, int flags) throws MessagingException;
    public static native int getFolderMessageCount(long folder) throws MessagingException;
    public static native MAPIMessage getFolderMessage(long folder, Folder javaFolder, int msgnum) throws MessagingException;
    public static native MAPIMessage[] getFolderMessages(long folder, Folder javaFolder) throws MessagingException;
    public static native MAPIMessage[] getFolderMessageChunk(long folder, Folder javaFolder, int first, int last) throws MessagingException;
    public static native boolean isFolderOpen(long folder) throws MessagingException;
    public static native void closeFolder(long folder, boolean expunge);
    public static native void destroyMessage(long message);
    public static native String getMessageSubject(long message) throws MessagingException;
    public static native String getMessageText(long message) throws MessagingException;
    public static native String getMessageHTML(long message) throws MessagingException;
    public static native String[] getMessageFrom(long message) throws MessagingException;
    public static native String[] getMessageTo(long message) throws MessagingException;
    public static native String[] getMessageCC(long message) throws MessagingException;
    public static native String[] getMessageBCC(long message) throws MessagingException;
    public static native String[] getMessageReplyTo(long message) throws MessagingException;
    public static native double getMessageSentDate(long message) throws MessagingException;
    public static native double getMessageReceiveTime(long message) throws MessagingException;
    public static native String getMessageID(long message) throws MessagingException;
    public static native String getMessagePriority(long message) throws MessagingException;
    public static native void setMessageDeleteFlag(long message, boolean flag) throws MessagingException;
    public static native MAPIMultipart getMessageContent(long message, MAPIMessage javaMessage) throws MessagingException;
    public static native int getMultipartCount(long multipart) throws MessagingException;
    public static native MAPIBodyPart getMultipartBodypart(long multipart, MAPIMultipart javaMultipart, int index) throws MessagingException;
    public static native String getBodypartDisposition(long bodypart) throws MessagingException;
    public static native void writeBodypartToFile(long bodypart, String fileName) throws MessagingException;
    public static native String getMessageFile(long message) throws MessagingException;
    public static native long getTransport(String profile, String password, String tempDir, String sentFolder) throws MessagingException;
    public static native long createMessage(long transport) throws MessagingException;
    public static native void setMessageSubject(long message, String subject) throws MessagingException;
    public static native void addMessageToRecipient(long message, String personal, String address) throws MessagingException;
    public static native void addMessageCCRecipient(long message, String personal, String address) throws MessagingException;
    public static native void addMessageBCCRecipient(long message, String personal, String address) throws MessagingException;
    public static native void addMessageFrom(long message, String personal, String address) throws MessagingException;
    public static native void setMessagePriority(long message, int priority) throws MessagingException;
    public static native void setMessageXHeader(long message, String name, String value) throws MessagingException;
    public static native void sendMessage(long message) throws MessagingException;
    public static native void setMessagePlainTextBody(long message, String body) throws MessagingException;
    public static native void setMessageHTMLBody(long message, String body) throws MessagingException;
    public static native void addMessageAttachment(long message, String attachName, String mimeType, String tempFile) throws MessagingException;
    public static native void addMessageInlineAttachment(long message, String attachName, String mimeType, String tempFile, String contentID) throws MessagingException;
    public static native void setMessageReplyTo(long message, String personal, String address) throws MessagingException;
    public static native void closeTransport(long transport);
}
