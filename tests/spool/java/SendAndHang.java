import com.plimo.mail.mapi.MAPINative;

/**
 * Sends one message through the natives and then waits to be killed:
 *
 * <pre>
 * SendAndHang PROFILE TEMP_DIR TO SUBJECT
 * </pre>
 *
 * Prints "sent" once sendMessage has returned. The test kills the process there.
 */
public final class SendAndHang {
    private SendAndHang() {
    }

    public static void main(String[] args) throws Exception {
        MAPINative.initMapi();
        long transport = MAPINative.getTransport(args[0], "", args[1], "Sent Items");
        long message = MAPINative.createMessage(transport);
        MAPINative.setMessageSubject(message, args[3]);
        MAPINative.addMessageToRecipient(message, "Receiver", args[2]);
        MAPINative.setMessagePlainTextBody(message, "sent just before the sender was killed\n");
        MAPINative.sendMessage(message);
        System.out.println("sent");
        System.out.flush();
        Thread.sleep(600_000);
    }
}
